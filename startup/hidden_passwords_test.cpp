#include "startup/hidden_passwords.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace modMain {
namespace {

using namespace std::string_literals;

// Each word loses its password and no argument grows; arguments apart from
// one another in memory are masked where they lie (the end-to-end tests see
// those the system lays out one after another).
TEST(HiddenPasswordsTest, EachWordLosesItsPasswordAndNothingGrows) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://bob:S3CR3T@h/x", "http://bob:***@h/x\0\0\0"s},
      {"--add http://a:pw@h/1 ftp://c:longer-one@h/2",
       "--add http://a:**@h/1 ftp://c:***@h/2\0\0\0\0\0\0\0"s},
      {"https://h:8443/x?mail=a@b.com", "https://h:8443/x?mail=a@b.com"},
      {"http://bob@h/x", "http://bob@h/x"},
  };
  std::vector<std::string> apart = {"fetchwell"};
  for (const auto& c : cases) apart.push_back(c.first);
  std::vector<char*> argv;
  for (auto& argument : apart) argv.push_back(argument.data());
  HidePasswordsInArguments(static_cast<int>(argv.size()), argv.data());
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(apart[i + 1], cases[i].second) << i;
}

}  // namespace
}  // namespace modMain
