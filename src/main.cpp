#include "rawgraft.h"

int main(int argc, char** argv) { return rawgraft_main(argc, argv); }
