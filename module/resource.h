// Resource ids of CryptoGraphicKey.dll (shared by the resource script and the code).
#pragma once

#define IDR_CRYPTOGRAPHICKEY 101  // registry script of the key class
#define IDI_CRYPTOGRAPHICKEY 201  // picture: small and large icon
#define IDG_CRYPTOGRAPHICKEY 202  // picture: small and large image ("GIF")
