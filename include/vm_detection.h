/*
 * libvm_detection: tells the calling program whether it runs in a virtual
 * machine (and under which hypervisor), in a container, under WSL or on a
 * cloud instance, with the evidence for each answer, as one JSON report.
 *
 * The three functions below are the whole interface. They are plain C and
 * may be called from C or C++.
 */
#ifndef VM_DETECTION_H
#define VM_DETECTION_H

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of vmd_detect_json. */
#define VMD_OK 0               /* the report is in *out */
#define VMD_INVALID_ARGUMENT 1 /* out was null; nothing was done */
#define VMD_OUT_OF_MEMORY 2    /* memory ran out; *out is null */
#define VMD_INTERNAL_ERROR 3   /* any other internal failure; *out is null */

/*
 * Runs one detection on the calling thread and stores the report, one line
 * of compact, pure-ASCII JSON terminated by a NUL byte, in *out.
 *
 * The report belongs to the caller, who must release it with vmd_free.
 * On any status other than VMD_OK, *out is set to null (a pointer left there
 * before the call is overwritten, not freed). A probe that cannot be made is
 * reported inside the report, never as a failure of the call.
 *
 * Thread safety: the library keeps no state and takes no lock, so any number
 * of threads may call it at once. It only reads files; it never writes,
 * blocks, or starts a thread.
 */
int vmd_detect_json(char **out);

/* Releases a report returned by vmd_detect_json. Null is accepted. */
void vmd_free(char *report);

/*
 * The module version (such as "1.0.0"), as the report carries it under
 * "module_version": a static string, the same pointer on every call. Do not
 * free it. Safe from any thread.
 */
const char *vmd_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VM_DETECTION_H */
