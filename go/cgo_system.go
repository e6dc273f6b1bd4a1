//go:build vmd_system

package vmdetection

// The installed library, as pkg-config describes it (PKG_CONFIG_PATH for a
// prefix outside the usual places).

// #cgo pkg-config: vm_detection
import "C"
