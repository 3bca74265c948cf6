/* Stand-ins for a few libpcap calls, preloaded into a test subprocess so that
   the module meets answers a real host rarely gives. WIRELET_SHIM picks them:
   "fail" (errors), "empty" (no devices), "badname" (a name that is not UTF-8),
   "otherlib" (a libpcap version the module was not checked with), anything
   else (four devices, the first with addresses of every kind, huge counters). At exit the shim reports how many
   device chains it handed out and how many came back. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netpacket/packet.h>
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

/* An address of family with text (IPv4, IPv6) or bytes of the given length
   (AF_PACKET), in a block as large as any socket address. */
static struct sockaddr *sa(int family, const char *text, int length)
{
    struct sockaddr_storage *s = calloc(1, sizeof *s);
    s->ss_family = family;
    if (family == AF_INET)
        inet_pton(family, text, &((struct sockaddr_in *)s)->sin_addr);
    else if (family == AF_INET6)
        inet_pton(family, text, &((struct sockaddr_in6 *)s)->sin6_addr);
    else if (family == AF_PACKET) {
        ((struct sockaddr_ll *)s)->sll_halen = length;
        memcpy(((struct sockaddr_ll *)s)->sll_addr, text, length < 8 ? length : 8);
    }
    return (struct sockaddr *)s;
}

static pcap_addr_t *address(struct sockaddr *addr, struct sockaddr *netmask, struct sockaddr *broadaddr,
                            pcap_addr_t *next)
{
    pcap_addr_t *entry = calloc(1, sizeof *entry);
    *entry = (pcap_addr_t){next, addr, netmask, broadaddr, NULL};
    return entry;
}

/* One of each: kept, or skipped (null, other family, hardware address of
   length 0 or longer than libpcap's copy). */
static pcap_addr_t *addresses(void)
{
    return address(sa(AF_INET, "192.0.2.7", 0), sa(AF_INET, "255.255.255.128", 0), sa(AF_INET, "192.0.2.127", 0),
           address(NULL, NULL, NULL,
           address(sa(AF_INET6, "2001:db8::7", 0), sa(AF_INET6, "ffff:ffff::", 0), sa(AF_UNSPEC, "", 0),
           address(sa(AF_UNIX, "", 0), NULL, NULL,
           address(sa(AF_PACKET, "\x02\xAB\0\0\0\x07", 6), NULL, sa(AF_PACKET, "\xff\xff\xff\xff\xff\xff", 6),
           address(sa(AF_PACKET, "", 0), NULL, NULL,
           address(sa(AF_PACKET, "01234567", 20), NULL, NULL, NULL)))))));
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
    (*head)->description = strdup("first device");
    (*head)->flags = PCAP_IF_UP | PCAP_IF_CONNECTION_STATUS_DISCONNECTED;
    (*head)->addresses = addresses();
    handed_out++;
    return 0;
}

void pcap_freealldevs(pcap_if_t *entry)
{
    given_back++;
    while (entry != NULL) {
        pcap_if_t *next = entry->next;
        for (pcap_addr_t *a = entry->addresses, *after; a != NULL; a = after) {
            after = a->next;
            free(a->addr), free(a->netmask), free(a->broadaddr), free(a);
        }
        free(entry->description);
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
