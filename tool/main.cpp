#include <cstdlib>
#include <iostream>

int main() {
    std::cout << "Appends a given value to the specified Postfix configuration parameter" << std::endl
              << "if the given value is already set nothing is done" << std::endl
              << "usage: tarnwick [--replace] <key> <value>" << std::endl
              << "If used with --replace completely override current value instead of append"
              << std::endl;
    return EXIT_SUCCESS;
}
