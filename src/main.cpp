#include <string_view>
#include <vector>

#include "Lindqvar.h"
#include "Platform.h"

int main(int argc, char** argv) {
  lindqvar::PrepareProcess();
  const std::vector<std::string_view> args(argv, argv + argc);
  return lindqvar::RunLindqvar(args);
}
