//go:build !vmd_system

package vmdetection

// The library compiled from its own sources, which the module carries
// (lib_*.cpp include them), so that go get needs no installed library.
// The flags follow CMakeLists.txt's (checked by TestBundledBuildFollowsCMake):
// the version from project(VERSION) (version.h) and the C++ runtime linked in
// statically, as the shared object has it.

/*
#cgo CPPFLAGS: -I${SRCDIR}/../include -I${SRCDIR}/../src
#cgo CXXFLAGS: -std=c++20 -fvisibility=hidden -fvisibility-inlines-hidden
#cgo LDFLAGS: -static-libstdc++ -static-libgcc
*/
import "C"
