// The loader stub, run as a process: copied into fresh folders with stand-in runtimes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct StubRun {
  int code = -1;
  std::string err;
  std::string marker;
};

class LoaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tunova-stub-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    config = root / "config";
    fs::create_directories(config);
  }
  void TearDown() override { fs::remove_all(root); }

  fs::path placeStub(const fs::path& folder) {
    fs::create_directories(folder);
    fs::copy_file(TUNOVA_STUB, folder / "tunova", fs::copy_options::overwrite_existing);
    return folder / "tunova";
  }
  void placeRuntime(const char* built, const fs::path& as) {
    fs::create_directories(as.parent_path());
    fs::copy_file(built, as, fs::copy_options::overwrite_existing);
  }
  void writeKey(const std::string& path) {
    fs::create_directories(config / "Lorvane");
    std::ofstream(config / "Lorvane" / "Install") << "Path=" << path << "\n";
  }
  StubRun run(const fs::path& stub) {
    const fs::path marker = root / "marker", err = root / "err";
    fs::remove(marker);
    const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME='" +
                            config.string() + "' TUNOVA_TEST_MARKER='" + marker.string() + "' '" +
                            stub.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(cmd.c_str());
    StubRun r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(err), m(marker);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    r.marker.assign(std::istreambuf_iterator<char>(m), {});
    return r;
  }

  fs::path root, config;
};

} // namespace

TEST_F(LoaderTest, RuntimeBesideTheProgramWinsAndTheKeyFileIsNotRead) {
  const fs::path stub = placeStub(root / "app");
  placeRuntime(FAKE_RUNTIME, root / "app" / "tunova-runtime.so");
  placeRuntime(FAKE_RUNTIME_FULL, root / "installed" / "tunova-runtime-full.so");
  writeKey((root / "installed").string());
  const StubRun r = run(stub);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.marker, "beside image");
}

TEST_F(LoaderTest, KeyFileWithAndWithoutTrailingSeparator) {
  const fs::path stub = placeStub(root / "app");
  placeRuntime(FAKE_RUNTIME_FULL, root / "installed" / "tunova-runtime-full.so");
  for (const std::string& path :
       {(root / "installed").string(), (root / "installed").string() + "/"}) {
    SCOPED_TRACE(path);
    writeKey(path);
    const StubRun r = run(stub);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.marker, "full image");
  }
}

TEST_F(LoaderTest, DeepFolderStillStarts) {
  fs::path deep = root;
  for (int i = 0; i < 12; ++i)
    deep /= "a-rather-long-folder-name";
  ASSERT_GT(deep.string().size(), 260u);
  const fs::path stub = placeStub(deep);
  placeRuntime(FAKE_RUNTIME, deep / "tunova-runtime.so");
  EXPECT_EQ(run(stub).marker, "beside image");
}

TEST_F(LoaderTest, EveryFailureGivesTheMessageAndExitCode255) {
  const fs::path stub = placeStub(root / "app");
  // No runtime beside and no key file.
  StubRun r = run(stub);
  EXPECT_EQ(r.code, 255);
  EXPECT_NE(r.err.find("The runtime library is missing or invalid!"), std::string::npos);
  // A key file without Path.
  fs::create_directories(config / "Lorvane");
  std::ofstream(config / "Lorvane" / "Install") << "Other=1\n";
  EXPECT_EQ(run(stub).code, 255);
  // A key file naming a folder without the runtime.
  writeKey((root / "nowhere").string());
  EXPECT_EQ(run(stub).code, 255);
  // A runtime whose start export is missing.
  placeRuntime(FAKE_RUNTIME_NO_EXPORT, root / "app" / "tunova-runtime.so");
  r = run(stub);
  EXPECT_EQ(r.code, 255);
  EXPECT_NE(r.err.find("The runtime library is missing or invalid!"), std::string::npos);
  EXPECT_EQ(r.marker, "");
}
