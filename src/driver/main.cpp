#include "driver/driver.h"

int main(int argc, char** argv) { return volpack::volpack_main(argc, argv); }
