// Where the public test corpora are: the folder named by the environment
// variable VENNU_MESH_TEST_DATA, else the build's default (../shared/data
// beside the clone). The corpora keep their own licenses and are read in
// place, never copied into the tree.
//
// A test that needs a corpus calls REQUIRE_TEST_DATA(folder) first: an
// absent folder skips the test with its name, or fails it when the
// environment variable CI is set (so a CI run cannot pass without them).

#pragma once

#include <cstdlib>
#include <filesystem>
#include <string_view>

#ifndef MESH_TEST_DATA_DEFAULT
#define MESH_TEST_DATA_DEFAULT "../shared/data"
#endif

namespace vennu {

inline std::filesystem::path test_data_folder() {
  const char* chosen = std::getenv("VENNU_MESH_TEST_DATA");
  const std::filesystem::path folder =
      (chosen != nullptr && *chosen != '\0') ? chosen : MESH_TEST_DATA_DEFAULT;
  return folder.lexically_normal();
}

inline bool running_under_ci() {
  const char* ci = std::getenv("CI");
  if (ci == nullptr) return false;
  const std::string_view value(ci);
  return !value.empty() && value != "0" && value != "false";
}

}  // namespace vennu

#define REQUIRE_TEST_DATA(folder)                                                  \
  do {                                                                             \
    if (!std::filesystem::is_directory(folder)) {                                  \
      if (::vennu::running_under_ci()) {                                           \
        FAIL() << "test corpus folder " << (folder).string()                       \
               << " not found and CI is set (set VENNU_MESH_TEST_DATA)";           \
      }                                                                            \
      GTEST_SKIP() << "test corpus folder " << (folder).string()                   \
                   << " not found (set VENNU_MESH_TEST_DATA to the folder holding" \
                   << " JSONTestSuite/)";                                          \
    }                                                                              \
  } while (false)
