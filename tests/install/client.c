/* A caller of the installed libnubrel, built with the flags of pkg-config or
 * of find_package: it encodes a payload, decodes it again and prints it. */
#include <nubrel.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    static char payload[] = "subject=installed\n";
    nubrel_tokendata in = {1, 1, 0, NULL, sizeof payload - 1, payload};
    nubrel_tokendata out;
    nubrel_instance *handle;
    char *token;
    int ok;

    if (nubrel_initialize() != 0) return 1;
    handle = nubrel_create_instance();
    if (handle == NULL) return 1;
    /* "aW5zdGFsbGVk" is "installed" in base64. */
    if (set_nubrel_password(handle, "aW5zdGFsbGVk") != 0 || set_nubrel_cipher_suite(handle, 1) != 0) return 1;
    token = nubrel_encode(handle, &in, NULL, NULL, NULL);
    if (token == NULL) return 1;
    memset(&out, 0, sizeof out);
    ok = nubrel_decode(handle, token, &out, NULL, NULL, NULL) == 0 && out.payload_length == in.payload_length &&
         memcmp(out.payload, payload, in.payload_length) == 0;
    if (ok) printf("%s %.*s", get_nubrel_library_version(), (int)out.payload_length, out.payload);
    nubrel_free(token);
    nubrel_free_tokendata(&out);
    nubrel_release_instance(handle);
    return ok ? 0 : 1;
}
