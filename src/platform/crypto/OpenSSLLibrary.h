#pragma once

namespace telvo {

// Initialises OpenSSL (crypto and TLS, the system's OpenSSL configuration) once per process,
// without OpenSSL's own clean-up at exit: that clean-up would free OpenSSL's state under the
// library's threads that are still running when the app returns from main. Every part of the
// library that calls into OpenSSL, and the URL loading before libcurl's global set-up, calls
// this first, so that it is the first initialisation OpenSSL sees from the library (an app that
// initialised OpenSSL itself earlier keeps its own choice). Thread-safe; cheap after the first
// call. false when OpenSSL could not be initialised.
bool initializeOpenSSL();

}  // namespace telvo
