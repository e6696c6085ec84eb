#include "driver/korvax.h"

int main(int argc, char** argv) { return korvax::run(argc, argv); }
