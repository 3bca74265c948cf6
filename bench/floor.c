/* The C floor: what libpcap costs per packet with no interpreter around it.
 *
 *   floor next      FILE            pcap_next_ex over the file
 *   floor loop      FILE            pcap_loop with a callback
 *   floor dump      FILE OUT        pcap_next_ex + pcap_dump of every packet
 *   floor setfilter FILE EXPR       pcap_setfilter (optimised) + pcap_next_ex
 *   floor bpf       FILE EXPR OPT   bpf_filter over every packet held in memory
 *   floor bpfload   FILE            only the loading that "bpf" does first
 *   floor version                   libpcap's version text
 *
 * Every path touches each packet it is given (its length and its last byte)
 * and prints one JSON line: the timed nanoseconds and what it saw, so that the
 * runner can check it against every other method.
 */
#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

struct seen {
    uint64_t n, len, last;
};

static void touch(struct seen *s, const u_char *data, bpf_u_int32 caplen)
{
    s->n++;
    s->len += caplen;
    s->last += data[caplen - 1];
}

static uint64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

static pcap_t *open_file(const char *path)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_open_offline(path, errbuf);
    if (p == NULL) {
        fprintf(stderr, "floor: %s\n", errbuf);
        exit(2);
    }
    return p;
}

static void fail(pcap_t *p)
{
    fprintf(stderr, "floor: %s\n", pcap_geterr(p));
    exit(2);
}

static void read_all(pcap_t *p, struct seen *s, pcap_dumper_t *d)
{
    struct pcap_pkthdr *h;
    const u_char *data;
    int status;
    while ((status = pcap_next_ex(p, &h, &data)) == 1) {
        touch(s, data, h->caplen);
        if (d != NULL)
            pcap_dump((u_char *)d, h, data);
    }
    if (status != PCAP_ERROR_BREAK)
        fail(p);
}

static void on_packet(u_char *user, const struct pcap_pkthdr *h, const u_char *data)
{
    touch((struct seen *)user, data, h->caplen);
}

struct held {
    u_char **data;
    bpf_u_int32 *len;
    size_t n;
};

static struct held load(const char *path)
{
    struct held held = {NULL, NULL, 0};
    size_t cap = 0;
    pcap_t *p = open_file(path);
    struct pcap_pkthdr *h;
    const u_char *data;
    while (pcap_next_ex(p, &h, &data) == 1) {
        if (held.n == cap) {
            cap = cap ? 2 * cap : 65536;
            held.data = realloc(held.data, cap * sizeof *held.data);
            held.len = realloc(held.len, cap * sizeof *held.len);
            if (held.data == NULL || held.len == NULL)
                exit(3);
        }
        held.data[held.n] = malloc(h->caplen);
        if (held.data[held.n] == NULL)
            exit(3);
        memcpy(held.data[held.n], data, h->caplen);
        held.len[held.n++] = h->caplen;
    }
    pcap_close(p);
    return held;
}

int main(int argc, char **argv)
{
    struct seen s = {0, 0, 0};
    uint64_t start, end;
    if (argc == 2 && strcmp(argv[1], "version") == 0) {
        puts(pcap_lib_version());
        return 0;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: floor next|loop|dump|setfilter|bpf|bpfload FILE [ARG...]\n");
        return 2;
    }
    const char *mode = argv[1], *path = argv[2];

    if (strcmp(mode, "next") == 0) {
        start = now_ns();
        pcap_t *p = open_file(path);
        read_all(p, &s, NULL);
        pcap_close(p);
        end = now_ns();
    } else if (strcmp(mode, "loop") == 0) {
        start = now_ns();
        pcap_t *p = open_file(path);
        if (pcap_loop(p, -1, on_packet, (u_char *)&s) < 0)
            fail(p);
        pcap_close(p);
        end = now_ns();
    } else if (strcmp(mode, "dump") == 0 && argc == 4) {
        start = now_ns();
        pcap_t *p = open_file(path);
        pcap_dumper_t *d = pcap_dump_open(p, argv[3]);
        if (d == NULL)
            fail(p);
        read_all(p, &s, d);
        pcap_dump_close(d);
        pcap_close(p);
        end = now_ns();
    } else if (strcmp(mode, "setfilter") == 0 && argc == 4) {
        start = now_ns();
        pcap_t *p = open_file(path);
        struct bpf_program prog;
        if (pcap_compile(p, &prog, argv[3], 1, 0) != 0 || pcap_setfilter(p, &prog) != 0)
            fail(p);
        pcap_freecode(&prog);
        read_all(p, &s, NULL);
        pcap_close(p);
        end = now_ns();
    } else if ((strcmp(mode, "bpf") == 0 && argc == 5) || strcmp(mode, "bpfload") == 0) {
        struct held held = load(path);
        struct bpf_program prog;
        start = now_ns();
        if (mode[3] == '\0') {
            pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65536);
            if (dead == NULL || pcap_compile(dead, &prog, argv[3], atoi(argv[4]), 0) != 0)
                fail(dead);
            pcap_close(dead);
            for (size_t i = 0; i < held.n; i++) {
                if (bpf_filter(prog.bf_insns, held.data[i], held.len[i], held.len[i]))
                    touch(&s, held.data[i], held.len[i]);
            }
            pcap_freecode(&prog);
        }
        end = now_ns();
    } else {
        fprintf(stderr, "floor: unknown mode or wrong arguments: %s\n", mode);
        return 2;
    }
    printf("{\"ns\": %llu, \"n\": %llu, \"len\": %llu, \"last\": %llu}\n",
           (unsigned long long)(end - start), (unsigned long long)s.n,
           (unsigned long long)s.len, (unsigned long long)s.last);
    return 0;
}
