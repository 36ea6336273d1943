#include "run/startup.h"

int main(int argc, char** argv) {
  return runTarvex(argc, argv);
}
