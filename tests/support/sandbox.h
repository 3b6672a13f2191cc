#pragma once
// Shared test fixtures: a private temporary folder that is removed with everything in it, and
// waiting for a condition instead of sleeping for a fixed time.
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace tunova::test {

// A fresh folder under the system's temporary folder, removed (with its contents) when the
// object goes.
class Sandbox {
public:
  explicit Sandbox(const std::string& prefix = "tunova-test");
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
  std::filesystem::path path_;
};

// Polls `done` every few milliseconds until it holds (true) or `timeout` has passed (false).
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::seconds(15));

// Sets or removes an environment variable of this process.
void setEnv(const std::string& name, const std::string& value);
void unsetEnv(const std::string& name);

// The whole content of a file (empty when it cannot be read).
std::string readFile(const std::filesystem::path& path);

} // namespace tunova::test
