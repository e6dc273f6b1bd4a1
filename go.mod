module github.com/libvm-detection/libvm_detection

go 1.19
