#include "common/exchange.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace meridox {
namespace {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
      had_ = true;
    }
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(ExchangeFolder, OverrideWithAndWithoutTrailingSeparator) {
  {
    ScopedEnv env("MERIDOXWORK", "/data/run");
    EXPECT_EQ(exchange_folder(), "/data/run/");
    EXPECT_EQ(exchange_file("IN_FM.txt"), "/data/run/IN_FM.txt");
  }
  {
    ScopedEnv env("MERIDOXWORK", "/data/run/");
    EXPECT_EQ(exchange_file("OUT_M.txt"), "/data/run/OUT_M.txt");
  }
}

TEST(ExchangeFolder, IsReadAtEveryCall) {
  ScopedEnv env("MERIDOXWORK", "/first");
  EXPECT_EQ(exchange_folder(), "/first/");
  setenv("MERIDOXWORK", "/second", 1);
  EXPECT_EQ(exchange_folder(), "/second/");
}

TEST(ExchangeFolder, DefaultsToTheHomeFolder) {
  ScopedEnv env("MERIDOXWORK", nullptr);
  ScopedEnv home("HOME", "/home/engineer");
  EXPECT_EQ(exchange_folder(), "/home/engineer/MERIDOXWORK/");
  ScopedEnv empty("MERIDOXWORK", "");
  EXPECT_EQ(exchange_folder(), "/home/engineer/MERIDOXWORK/");
}

}  // namespace
}  // namespace meridox
