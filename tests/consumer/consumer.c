/* Runs one detection through the installed library and checks the report's
 * outline; prints the report. */
#include <stdio.h>
#include <string.h>
#include <vm_detection.h>

static int fail(const char *what) {
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

int main(void) {
    static const char head[] = "{\"schema_version\":1,\"module_version\":\"";
    char *report = NULL;
    size_t length;
    int status;

    if (vmd_detect_json(NULL) != VMD_INVALID_ARGUMENT) return fail("null out accepted");
    status = vmd_detect_json(&report);
    if (status != VMD_OK || report == NULL) return fail("detection failed");
    length = strlen(report);
    if (strncmp(report, head, sizeof head - 1) != 0) return fail("report does not begin right");
    if (strncmp(report + sizeof head - 1, vmd_version(), strlen(vmd_version())) != 0) {
        return fail("report and vmd_version disagree");
    }
    if (strstr(report, ",\"duration_us\":") == NULL || report[length - 1] != '}') {
        return fail("report does not end right");
    }
    puts(report);
    vmd_free(report);
    return 0;
}
