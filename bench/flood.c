/* The live scenario's sender: COUNT Ethernet frames out of one device, as
 * fast as the kernel takes them.
 *
 *   flood DEVICE COUNT
 *
 * Frame i goes from 02:00:00:00:00:0a to 02:00:00:00:00:0b with the local
 * experimental EtherType 0x88b5; it is 60 + i % 41 bytes long and its last
 * byte is i % 256, so that a reader's sums of lengths and last bytes say
 * whether it saw every frame once. live.py computes the same sums.
 */
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: flood DEVICE COUNT\n");
        return 2;
    }
    long count = strtol(argv[2], NULL, 10);
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0) {
        perror("socket");
        return 1;
    }
    struct sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_ifindex = (int)if_nametoindex(argv[1]);
    if (to.sll_ifindex == 0) {
        perror(argv[1]);
        return 1;
    }
    if (bind(fd, (struct sockaddr *)&to, sizeof to) != 0) {
        perror("bind");
        return 1;
    }
    unsigned char frame[100] = {2, 0, 0, 0, 0, 0x0b, 2, 0, 0, 0, 0, 0x0a, 0x88, 0xb5};
    for (long i = 0; i < count; i++) {
        size_t length = 60 + (size_t)(i % 41);
        memcpy(frame + 14, &i, sizeof i);
        frame[length - 1] = (unsigned char)(i % 256);
        while (send(fd, frame, length, 0) < 0) {
            /* A full transmit queue: try again. */
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)
                continue;
            perror("send");
            return 1;
        }
    }
    close(fd);
    return 0;
}
