#include "Console.h"
#include "Lindqvar.h"

int main(int argc, char** argv) {
  lindqvar::PrepareProcess();
  return lindqvar::RunLindqvar(lindqvar::CommandLineArguments(argc, argv));
}
