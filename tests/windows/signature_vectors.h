// Keys and a signature the openssl command made at build time, for the CNG
// signature test (see signature_vectors.cmake).
#pragma once

extern const char* const kPublisherKey;   // P-256 public key, PEM
extern const char* const kStrangerKey;    // another P-256 public key, PEM
extern const char* const kP384Key;        // a P-384 public key, PEM
extern const char* const kSignedMessage;  // the bytes signed
extern const char* const kSignatureHex;   // the publisher's DER signature over them, in hex
