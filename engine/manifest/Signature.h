// Checks the manifest's signature with the public key built into this updater
// (-DUPDATER_PUBLIC_KEY=<PEM> at configure time), through CNG.
#pragma once
#include <string>

// True when this build carries a public key: manifests must then be signed.
bool HasBuiltInPublicKey();

// Empty when the manifest is signed by the built-in key and unaltered;
// otherwise why not, in words for the log. signedLength receives the length
// of the signed part (the document without its signature comment).
std::string CheckManifestSignature(const std::string& manifest, std::size_t& signedLength);
