/* Prints the library's report and its version, as a C program linked
 * against the release tarball's shared object sees them. */
#include <stdio.h>
#include <vm_detection.h>

int main(void) {
    char *report = NULL;
    const int status = vmd_detect_json(&report);
    if (status != VMD_OK) {
        fprintf(stderr, "vmd_detect_json: %d\n", status);
        return 1;
    }
    printf("%s\n", report);
    vmd_free(report);
    fprintf(stderr, "version %s\n", vmd_version());
    return 0;
}
