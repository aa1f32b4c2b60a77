/* A host written in C: the header compiles as C11, the records have the
 * layout checked below, and the exported functions link and answer. */
#include <stdio.h>

#include "abi_layout_checks.h"

int main(void) {
    RuntimeDecodeResponse response = {(RuntimeFrame*)0, 0};
    RuntimeDecodeRequest request = {{0}, 0, 0, RuntimeFormatYuv420, (const RuntimePacket*)0, 0, (const uint64_t*)0, 0};
    int failures = 0;
    if (pytovrik_video_abi_version() != 1) {
        fprintf(stderr, "abi version is not 1\n");
        ++failures;
    }
    /* An empty batch succeeds with no frames and a non-null array. */
    if (pytovrik_video_decode_h264_v1(&request, &response) != 0 || response.frames == (RuntimeFrame*)0 ||
        response.frame_count != 0) {
        fprintf(stderr, "empty request did not succeed with an empty frame array\n");
        ++failures;
    }
    pytovrik_video_free_response_v1(&response);
    if (response.frames != (RuntimeFrame*)0 || response.frame_count != 0) {
        fprintf(stderr, "free did not prepare the response again\n");
        ++failures;
    }
    if (pytovrik_video_decode_h264_v1((const RuntimeDecodeRequest*)0, &response) != -1) {
        fprintf(stderr, "null request was accepted\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
