module consumer

go 1.19
