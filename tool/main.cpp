#include "tool/voriridod.h"

int main(int argc, char** argv) { return voriridodMain(argc, argv); }
