/* A stand-in for libvm_detection in the bindings' tests, for the statuses
 * the real library cannot be made to return. vmd_detect_json returns the
 * status named by VMD_STUB_STATUS (default 0) and hands out a report block
 * even on failure, so that a binding which frees only on success leaks it;
 * vmd_version tells how many blocks are still held, so that a test reads
 * that through the binding itself, after VMD_STUB_VERSION and a space when
 * that is set, for a binding that checks the library's major version. Tests
 * call it from one thread only. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char report[] =
    "{\"schema_version\":1,\"module_version\":\"0.0.0\",\"vm_score\":0,"
    "\"vm_likelihood\":\"unknown\",\"hypervisors\":[],\"containers\":[],"
    "\"compatibility_layers\":[],\"host_hypervisors\":[],\"cloud_providers\":[],"
    "\"evidence\":[],\"probes\":[],\"duration_us\":0}";
static int outstanding;
static char version[64];

int vmd_detect_json(char **out) {
    const char *status = getenv("VMD_STUB_STATUS");
    if (out == NULL) return 1;
    *out = malloc(sizeof report);
    if (*out != NULL) {
        memcpy(*out, report, sizeof report);
        ++outstanding;
    }
    return status != NULL ? atoi(status) : 0;
}

void vmd_free(char *block) {
    if (block != NULL) --outstanding;
    free(block);
}

const char *vmd_version(void) {
    const char *stated = getenv("VMD_STUB_VERSION");
    snprintf(version, sizeof version, "%s%soutstanding %d", stated != NULL ? stated : "",
             stated != NULL ? " " : "", outstanding);
    return version;
}
