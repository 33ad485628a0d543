#include <iostream>
#include <string>
#include <vector>

#include "ipsadd/ipsadd.h"

int main(int argc, char** argv) {
  return ipsadd::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
