/* The peer's side of the MIME comparison that scripts/bench mime runs: the
 * same work as net/bench/mime_walk.cpp done with GMime 3 -- parse each
 * message from memory, walk every leaf part and decode it into memory.
 *
 *   gmime_walk <rounds> <file>...
 *
 * Prints one line: "seconds S decoded D maxrss K" (wall time of all rounds,
 * decoded bytes of one round, peak resident size in KiB).
 * Bad arguments: a usage line on standard error and exit status 2; a file
 * that cannot be read: exit status 1. */
#include <gmime/gmime.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

struct text {
    char *bytes;
    size_t size;
};

static int read_file(const char *path, struct text *out) {
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return -1;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    out->bytes = malloc(size > 0 ? (size_t)size : 1);
    out->size = fread(out->bytes, 1, (size_t)size, f);
    fclose(f);
    return out->size == (size_t)size ? 0 : -1;
}

/* Decodes one leaf into a memory stream and adds its size. */
static void decode_leaf(GMimeObject *parent, GMimeObject *part, gpointer data) {
    (void)parent;
    if (!GMIME_IS_PART(part))
        return;
    GMimeDataWrapper *content = g_mime_part_get_content(GMIME_PART(part));
    if (content == NULL)
        return;
    GMimeStream *out = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, out);
    *(long *)data += (long)g_mime_stream_length(out);
    g_object_unref(out);
}

static long parse_and_decode(const struct text *t) {
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(t->bytes, t->size);
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, NULL);
    long total = 0;
    if (message != NULL) {
        /* Visits the message's body too when it is a single part. */
        g_mime_message_foreach(message, decode_leaf, &total);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return total;
}

int main(int argc, char **argv) {
    if (argc < 3 || atoi(argv[1]) <= 0) {
        fprintf(stderr, "usage: %s <rounds> <file>...\n", argv[0]);
        return 2;
    }
    int rounds = atoi(argv[1]);
    int count = argc - 2;
    struct text *texts = calloc((size_t)count, sizeof *texts);
    for (int i = 0; i < count; ++i)
        if (read_file(argv[i + 2], &texts[i]) != 0)
            return 1;
    g_mime_init();
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long decoded = 0;
    for (int round = 0; round < rounds; ++round) {
        long total = 0;
        for (int i = 0; i < count; ++i) total += parse_and_decode(&texts[i]);
        decoded = total;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("seconds %.6f decoded %ld maxrss %ld\n",
           (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9,
           decoded, usage.ru_maxrss);
    return 0;
}
