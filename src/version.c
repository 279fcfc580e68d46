#include "velmora/version.h"

const unsigned char VelmoraVersionString[] = "@(#)PROGRAM:Velmora  PROJECT:Velmora-3\n";
const double VelmoraVersionNumber = 3.0;
