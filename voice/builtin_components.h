// The components this build has, as the engine registers them at construction.
#pragma once

struct SonraCodecComponent;
struct SonraVadCore;
struct SonraAgcCore;
struct SonraAesCore;
struct SonraAecPcCore;

// The built-in codec component of a kind (iLBC, Ostrel711U/A, Ostrel wideband, Quill), or null.
const SonraCodecComponent* Sonra_BuiltInCodec(int kind);
// The built-in processing cores.
const SonraVadCore* Sonra_BuiltInVad();
const SonraAgcCore* Sonra_BuiltInAgc();
const SonraAesCore* Sonra_BuiltInAes();
const SonraAecPcCore* Sonra_BuiltInAecPc();
