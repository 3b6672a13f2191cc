#include "sandbox.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace tunova::test {

Sandbox::Sandbox(const std::string& prefix) {
#ifdef _WIN32
  // No mkdtemp: try fresh names until one can be created.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path candidate =
        std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(random()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
  }
#else
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data())) path_ = pattern;
#endif
}

Sandbox::~Sandbox() {
  if (path_.empty()) return;
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable so everything goes.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void setEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
  ::_putenv_s(name.c_str(), value.c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

void unsetEnv(const std::string& name) {
#ifdef _WIN32
  ::_putenv_s(name.c_str(), ""); // an empty value removes the variable
#else
  ::unsetenv(name.c_str());
#endif
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace tunova::test
