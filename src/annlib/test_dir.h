// For the tests of the library and of the list: each test runs in a fresh
// scratch folder of its own, the library quiet, and every file it opened is
// closed before the folder goes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "annlib.h"

class InScratchDir : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/annlib-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
    old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    neskquiet();
  }
  void TearDown() override {
    neskquit();
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
  }

  std::string dir;
  std::filesystem::path old;
};
