/* The plain way to turn data lines into records, kept as a yardstick for
 * "-t2b": fgets one line, skip it if it is a comment, sscanf the integer and
 * the five floats, fwrite their 24 bytes.  No blocks, no record heads.
 *
 *   sscanf_peer INPUT OUTPUT
 *
 * Comment lines are those tvqconverter skips: first character '#', 'c', '%'
 * or a newline, or first two characters "//".  A line that does not scan
 * into six values stops the run with exit status 255.
 * Built by run_bench.py with: cc -O2 -o sscanf_peer sscanf_peer.c
 */
#include <stdio.h>
#include <string.h>

#define LINE_LEN 16384

struct record {
    int integer;
    float values[5];
};

/* the record must be exactly the 24 data bytes of one line */
typedef char record_is_24_bytes[sizeof(struct record) == 24 ? 1 : -1];

static int is_comment(const char *line)
{
    return line[0] == '#' || line[0] == 'c' || line[0] == '%' || line[0] == '\n' ||
           (line[0] == '/' && line[1] == '/');
}

int main(int argc, char **argv)
{
    static char line[LINE_LEN];
    struct record rec;
    unsigned long lineno = 0;
    FILE *in, *out;

    if (argc != 3) {
        fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
        return 255;
    }
    in = fopen(argv[1], "r");
    if (in == NULL) {
        perror(argv[1]);
        return 255;
    }
    out = fopen(argv[2], "wb");
    if (out == NULL) {
        perror(argv[2]);
        return 255;
    }
    while (fgets(line, sizeof line, in) != NULL) {
        ++lineno;
        if (is_comment(line))
            continue;
        if (sscanf(line, "%d %f %f %f %f %f", &rec.integer, &rec.values[0], &rec.values[1],
                   &rec.values[2], &rec.values[3], &rec.values[4]) != 6) {
            fprintf(stderr, "line %lu does not hold six values\n", lineno);
            return 255;
        }
        fwrite(&rec, sizeof rec, 1, out);
    }
    if (ferror(in)) {
        perror(argv[1]);
        return 255;
    }
    if (fclose(out) != 0) {
        perror(argv[2]);
        return 255;
    }
    fclose(in);
    return 0;
}
