// A private copy of the installation folder for a test or a gallery, so nothing it writes reaches the build's;
// and a linked one, for a program run with a settings file of its own.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

// The build folder, which holds the installation's files the tests run from.
inline constexpr const char* kBuildInstallation =
#if defined(TESSALY_BINARY_DIR)
    TESSALY_BINARY_DIR;
#else
    ".";
#endif

// The build folder is also the program's installation folder (skin, language files, pictures,
// usrcfg.ini and tessaly.xml seeds). Code under test that writes beside what it reads (a window's
// settings, a store, a log in the working directory) must not change it: other tests read it at the
// same time, and the skin's ini is the stamp of the skin's build step. A test or gallery that points
// the code at an installation folder uses Path() of one of these instead of the build folder.
//
// The copy holds the installation's files (every top-level folder that is not a build tree, and the
// top-level .ini and .xml files), not the program or the build's own files; it is removed with the
// object.
class InstallCopy {
 public:
  explicit InstallCopy(const std::string& install = kBuildInstallation) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "tessaly-install-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return;
    m_path = buffer.data();
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(install, ec)) {
      const std::string name = e.path().filename().string();
      if (name.empty() || name[0] == '.' || IsBuildOutput(e, name)) continue;
      std::error_code copied;
      if (e.is_directory(copied)) {
        fs::copy(e.path(), fs::path(m_path) / name, fs::copy_options::recursive, copied);
      } else if (e.is_regular_file(copied) && (e.path().extension() == ".ini" || e.path().extension() == ".xml")) {
        fs::copy_file(e.path(), fs::path(m_path) / name, copied);
      }
      if (copied) m_ok = false;
    }
    if (ec) m_ok = false;
  }
  ~InstallCopy() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  InstallCopy(const InstallCopy&) = delete;
  InstallCopy& operator=(const InstallCopy&) = delete;

  // The copy's folder ("" when it could not be made).
  const std::string& Path() const { return m_path; }
  // True when every file was copied.
  bool Ok() const { return !m_path.empty() && m_ok; }

 private:
  static bool IsBuildOutput(const std::filesystem::directory_entry& e, const std::string& name) {
    std::error_code ec;
    // Build trees (each has CMake's folder), the test driver's files and the galleries' pictures.
    return name == "CMakeFiles" || name == "Testing" || name == "gallery" ||
           std::filesystem::exists(e.path() / "CMakeFiles", ec);
  }

  std::string m_path;
  bool m_ok = true;
};

// An installation folder for one run of the program (--app-folder): a symbolic link to each of the
// installation's files and folders (as InstallCopy takes them, and its programs), but for the files
// the run brings itself (its own tessaly.xml for the test services, written by the caller). Nothing is
// copied, so it is made in a moment; the program writes nothing into its installation.
inline bool LinkInstallation(const std::string& folder, const std::vector<std::string>& own = {"tessaly.xml"},
                             const std::string& install = kBuildInstallation) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return false;
  const fs::path here = fs::weakly_canonical(folder, ec);
  bool ok = true;
  for (const fs::directory_entry& e : fs::directory_iterator(install, ec)) {
    const std::string name = e.path().filename().string();
    if (name.empty() || name[0] == '.' || std::find(own.begin(), own.end(), name) != own.end()) continue;
    std::error_code kind;
    const fs::path target = fs::canonical(e.path(), kind);
    if (kind) continue;
    if (e.is_directory(kind)) {
      if (name == "CMakeFiles" || name == "Testing" || name == "gallery" || fs::exists(e.path() / "CMakeFiles", kind)) continue;
      // A folder holding this one (a run's output folder) would make a loop.
      const std::string inner = here.string(), outer = target.string();
      if (inner == outer || inner.rfind(outer + "/", 0) == 0) continue;
    } else if (e.is_regular_file(kind)) {
      const std::string ext = e.path().extension().string();
      const bool program = (fs::status(e.path(), kind).permissions() & fs::perms::owner_exec) != fs::perms::none;
      if (ext != ".ini" && ext != ".xml" && !program) continue;
    } else {
      continue;
    }
    std::error_code linked;
    fs::remove(fs::path(folder) / name, linked);
    fs::create_symlink(target, fs::path(folder) / name, linked);
    if (linked) ok = false;
  }
  return ok && !ec;
}

}  // namespace testsupport
