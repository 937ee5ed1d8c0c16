// Resource ids of KorvelRefHost.dll (shared by the resource script and the code).
#pragma once

#define IDR_KORVELREFHOST 101  // registry script of the four publication host classes
