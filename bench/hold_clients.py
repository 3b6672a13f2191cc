"""Holds abusive clients open against a service on 127.0.0.1 until killed: N connections that
trickle a request head one byte a second, and N that connect and say nothing. A connection the
service drops is opened again at once, so N of each are held throughout. Prints "holding" once
all are connected."""
import asyncio
import sys

PORT = int(sys.argv[1])
COUNT = int(sys.argv[2]) if len(sys.argv) > 2 else 200
HEAD = b"GET /zamrilo/music/search/songs?query=a HTTP/1.1\r\nHost: x\r\n" + b"X: y\r\n" * 500


async def hold(trickle, ready):
    first = True
    while True:
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", PORT)
        except OSError:
            await asyncio.sleep(0.05)
            continue
        if first:
            ready.release()
            first = False
        try:
            i = 0
            while True:
                if trickle:
                    writer.write(HEAD[i % len(HEAD):i % len(HEAD) + 1])
                    await writer.drain()
                    i += 1
                try:
                    if await asyncio.wait_for(reader.read(4096), 1.0) == b"":
                        break  # dropped by the service
                except asyncio.TimeoutError:
                    pass
        except OSError:
            pass
        writer.close()


async def main():
    ready = asyncio.Semaphore(0)
    tasks = [asyncio.create_task(hold(i % 2 == 0, ready)) for i in range(2 * COUNT)]
    for _ in range(2 * COUNT):
        await ready.acquire()
    print("holding", flush=True)
    await asyncio.gather(*tasks)


asyncio.run(main())
