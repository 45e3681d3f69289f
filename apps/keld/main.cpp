#include "intake/keldIntake.h"

int main(int argc, char **argv) { return Keld_Main(argc, argv); }
