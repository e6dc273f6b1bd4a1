module vmd/gozip

go 1.19
