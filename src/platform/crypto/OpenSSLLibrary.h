#pragma once

namespace telvo {

// OpenSSL without its own clean-up at exit: that clean-up would free OpenSSL's state under the
// library's threads that are still running when the app returns from main. The library makes
// that choice once per process, as it is loaded, before any of its threads exists and before
// libcurl's global set-up: every file of the library that calls OpenSSL includes this header
// (OpenSSLPtr.h includes it too), whose one initialiser below runs with that file's static
// initialisation, as <iostream>'s does. It is the first initialisation OpenSSL sees from the
// library, and it decides the clean-up at exit alone: OpenSSL loads the system's configuration
// and its strings itself at first use, so an app that sets OpenSSL up before it first uses the
// library keeps its configuration and options, and an app that initialised OpenSSL before the
// library was loaded keeps its clean-up choice too. Thread-safe; cheap after the first call.
// false when OpenSSL could not be initialised.
bool initializeOpenSSL();

namespace openssl_detail {
[[maybe_unused]] static const bool kInitializedOnLoad = initializeOpenSSL();
}  // namespace openssl_detail

}  // namespace telvo
