/* A host that knows only the installed header and library: it splits an
 * Annex B file into access units, decodes them as YUV 4:2:0 and prints what
 * came back, so the install test can check the result. */
#include <pytovrik_video.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char *read_file(const char *path, size_t *size) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) return NULL;
    unsigned char *data = NULL;
    size_t used = 0;
    size_t capacity = 0;
    for (;;) {
        if (used == capacity) {
            capacity = capacity ? capacity * 2 : 65536;
            unsigned char *grown = realloc(data, capacity);
            if (grown == NULL) break;
            data = grown;
        }
        size_t got = fread(data + used, 1, capacity - used, file);
        used += got;
        if (got == 0) break;
    }
    fclose(file);
    *size = used;
    return data;
}

/* Index of the next three-byte start code at or after from, or size. */
static size_t find_start_code(const unsigned char *data, size_t size, size_t from) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return size;
}

/* Splits at a slice whose first_mb_in_slice is 0 (its first bit is 1) and at
 * a parameter set, SEI or delimiter that follows a slice. */
static size_t split_access_units(const unsigned char *data, size_t size, RuntimePacket *packets) {
    size_t count = 0;
    size_t unit_start = 0;
    int has_slice = 0;
    for (size_t code = find_start_code(data, size, 0); code < size;
         code = find_start_code(data, size, code + 3)) {
        size_t header = code + 3;
        if (header >= size) break;
        int type = data[header] & 0x1f;
        int is_slice = type == 1 || type == 5;
        int begins = type == 9 || (has_slice && ((type >= 6 && type <= 8) ||
                                                 (is_slice && header + 1 < size &&
                                                  (data[header + 1] & 0x80))));
        size_t start = code > 0 && data[code - 1] == 0 ? code - 1 : code;
        if (begins && start > unit_start) {
            packets[count].data = data + unit_start;
            packets[count].len = start - unit_start;
            ++count;
            unit_start = start;
            has_slice = 0;
        }
        if (is_slice) has_slice = 1;
    }
    if (unit_start < size) {
        packets[count].data = data + unit_start;
        packets[count].len = size - unit_start;
        ++count;
    }
    return count;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s STREAM.264\n", argv[0]);
        return 2;
    }
    size_t size = 0;
    unsigned char *data = read_file(argv[1], &size);
    if (data == NULL) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    /* Every access unit begins at a start code, so size / 3 + 1 is enough. */
    RuntimePacket *packets = calloc(size / 3 + 1, sizeof *packets);
    if (packets == NULL) return 1;

    RuntimeDecodeRequest request;
    memset(&request, 0, sizeof request);
    request.output_format = RuntimeFormatYuv420;
    request.packets = packets;
    request.packet_count = split_access_units(data, size, packets);

    RuntimeDecodeResponse response = {NULL, 0};
    int32_t status = pytovrik_video_decode_h264_v1(&request, &response);
    if (status != 0) {
        fprintf(stderr, "decode failed with status %d\n", (int)status);
        free(packets);
        free(data);
        return 1;
    }
    printf("abi %d packets %llu frames %llu", (int)pytovrik_video_abi_version(),
           (unsigned long long)request.packet_count, (unsigned long long)response.frame_count);
    if (response.frame_count > 0) {
        const RuntimeFrame *first = &response.frames[0];
        printf(" size %ux%u luma %llu", (unsigned)first->width, (unsigned)first->height,
               (unsigned long long)first->y.len);
    }
    printf("\n");
    pytovrik_video_free_response_v1(&response);
    free(packets);
    free(data);
    return 0;
}
