#include "driver/driver.hpp"

int main(int argc, char** argv) { return vexa::run(argc, argv); }
