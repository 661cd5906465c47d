// The agent's version: the one constant that the banner, the "GetInfo"
// reply, owl --version, owlctl --version and the package all take. Plain
// data, safe from any thread.
#pragma once

// The package version is read from this line by CMakeLists.txt.
#define OWL_VERSION "1.29"
