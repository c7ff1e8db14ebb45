# GoogleTest for the Windows build, compiled with the cross compiler from the
# sources of Debian's googletest package.
set(LAUNCHER_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH
  "GoogleTest sources for the cross build")
if(NOT EXISTS "${LAUNCHER_GTEST_SOURCE_DIR}/src/gtest-all.cc")
  message(FATAL_ERROR "GoogleTest sources not found in ${LAUNCHER_GTEST_SOURCE_DIR}: "
    "install Debian's googletest package (tools/install-deps.sh)")
endif()

if(NOT TARGET GTest::gtest)
  add_library(launcher_gtest STATIC "${LAUNCHER_GTEST_SOURCE_DIR}/src/gtest-all.cc")
  target_include_directories(launcher_gtest
    SYSTEM PUBLIC "${LAUNCHER_GTEST_SOURCE_DIR}/include"
    PRIVATE "${LAUNCHER_GTEST_SOURCE_DIR}")
  # Third-party code: built as its own project builds it, without our warnings.
  target_compile_options(launcher_gtest PRIVATE -w)

  add_library(launcher_gtest_main STATIC "${LAUNCHER_GTEST_SOURCE_DIR}/src/gtest_main.cc")
  target_link_libraries(launcher_gtest_main PUBLIC launcher_gtest)
  target_compile_options(launcher_gtest_main PRIVATE -w)

  add_library(GTest::gtest ALIAS launcher_gtest)
  add_library(GTest::gtest_main ALIAS launcher_gtest_main)
endif()
