// A scratch directory for tests on real files, removed afterwards.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() / ("uf-fileio-" + std::to_string(stamp));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Full path of `name` inside the directory, as text for the file layer.
  std::string Path(const std::string& name) const { return (path_ / name).string(); }
  std::string Root() const { return path_.string(); }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string full = Path(name);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return full;
  }

 private:
  std::filesystem::path path_;
};
