/* Stand-ins for a few libpcap calls, preloaded into a test subprocess so that
   the module meets answers a real host rarely gives. WIRELET_SHIM picks them:
   "fail" (errors), "empty" (no devices), "badname" (a name that is not UTF-8),
   "otherlib" (a libpcap version the module was not checked with), anything
   else (four devices, huge counters). At exit the shim reports how many
   device chains it handed out and how many came back. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pcap/pcap.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int handed_out, given_back;

static int mode_is(const char *name)
{
    const char *mode = getenv("WIRELET_SHIM");
    return mode != NULL && strcmp(mode, name) == 0;
}

static pcap_if_t *device(const char *name, pcap_if_t *next)
{
    pcap_if_t *entry = calloc(1, sizeof *entry);
    entry->name = strdup(name);
    entry->next = next;
    return entry;
}

int pcap_findalldevs(pcap_if_t **head, char *errbuf)
{
    *head = NULL;
    if (mode_is("fail")) {
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "shim: cannot list devices");
        return -1;
    }
    if (mode_is("empty"))
        return 0;
    *head = device("zeta", device("alpha", device(mode_is("badname") ? "bad\xff" : "mid", device("omega", NULL))));
    handed_out++;
    return 0;
}

void pcap_freealldevs(pcap_if_t *entry)
{
    given_back++;
    while (entry != NULL) {
        pcap_if_t *next = entry->next;
        free(entry->name);
        free(entry);
        entry = next;
    }
}

char *pcap_lookupdev(char *errbuf)
{
    static char bad[] = "bad\xff", good[] = "zeta";
    if (mode_is("fail")) {
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "shim: no default device");
        return NULL;
    }
    return mode_is("badname") ? bad : good;
}

int pcap_stats(pcap_t *p, struct pcap_stat *counters)
{
    (void)p;
    counters->ps_recv = 4294967295u;
    counters->ps_drop = 2147483648u;
    counters->ps_ifdrop = 0;
    return 0;
}

const char *pcap_lib_version(void)
{
    const char *(*real)(void) = (const char *(*)(void))dlsym(RTLD_NEXT, "pcap_lib_version");
    if (real == NULL) {  /* libpcap came in with the module, out of the global scope */
        void *library = dlopen("libpcap.so.0.8", RTLD_LAZY | RTLD_NOLOAD);
        real = library ? (const char *(*)(void))dlsym(library, "pcap_lib_version") : NULL;
    }
    if (mode_is("otherlib") || real == NULL)
        return "libpcap version 1.11.0 (shim)";
    return real();
}

__attribute__((destructor)) static void report(void)
{
    fprintf(stderr, "chains %d/%d\n", handed_out, given_back);
}
