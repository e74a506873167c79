/* A C99 caller that knows only the public header. */
#include <nubrel.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    nubrel_instance *handle;
    int32_t level = -5;
    char *text = NULL;
    int32_t length = 0;

    if (nubrel_initialize() != 0) return 1;
    if (strcmp(get_nubrel_library_version(), NUBREL_LIBRARY_VERSION) != 0) return 1;
    handle = nubrel_create_instance();
    if (handle == NULL) return 1;
    /* Refused: the error line goes to standard error outside the web server. */
    if (set_nubrel_zlib_compression_level(handle, 10) != -1) return 1;
    if (get_nubrel_zlib_compression_level(handle, &level) != 0 || level != 9) return 1;
    if (base64_url_safe_modified_encode((const unsigned char *)"NBR", 3, &text, &length) != 0) return 1;
    if (length != 4 || strcmp(text, "TkJS") != 0) return 1;
    nubrel_free(text);
    if (nubrel_release_instance(handle) != 0) return 1;
    puts("ok");
    return 0;
}
