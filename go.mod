module libvm_detection/vmdetection

go 1.19
