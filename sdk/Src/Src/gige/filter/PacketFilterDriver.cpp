#include "gige/filter/PacketFilterDriver.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gige/GevRing.h"
#include "gige/GvcpProtocol.h"
#include "gige/GvspProtocol.h"
#include "gige/GvspReceiver.h"
#include "Net/UdpSocket.h"
#include "Sys/ByteOrder.h"
#include "Sys/JoiningThread.h"

namespace qx::gige::filter {

namespace {

// Receive ring of a streaming slot: 64 MiB in blocks of one image's packets (a power of two
// between 512 KiB and 4 MiB), each handed over when full or when the kernel's 4 ms block timer
// runs out with packets in it. The thread wakes once a block (and for nothing else but a stop or
// something due): a block of about an image wakes it about once an image, while a block holds
// fewer than two images, few enough for the image ring and the pool of the reader (blocks of
// 2 MiB, seven images of 640x480 at once, lost a quarter of them at the highest rate). An image
// is late by 4 ms at most: a timer of 2 ms woke the thread three or four times for an image of
// 1 MiB in packets of 1500 bytes that took 5 ms to come, with nothing to deliver but at the last.
constexpr uint32_t kMinBlockSize = 1u << 19;
constexpr uint32_t kMaxBlockSize = 1u << 22;
constexpr uint64_t kRingBytes = 64u << 20;
constexpr uint32_t kSmallBlockCount = 8; // when the system refuses the large ring
// What a packet takes in a block besides its UDP payload: the packet's header and address, the
// IP and UDP headers, alignment.
constexpr uint32_t kPacketOverhead = 128;
constexpr uint32_t kFrameSize = 2048;
constexpr uint32_t kRetireMs = 4;
// Packet resend asks for packets as gaps show and asks again, in rounds, for those still missing
// after this wait.
constexpr uint32_t kReaskWaitMs = 10;
constexpr int kResendPollMs = 5;      // wait between resend rounds of a block in silence
constexpr int64_t kIdleFlushMs = 200; // silence after which pending blocks are delivered
// The thread sleeps until a block, a stop, a read's deadline or the next resend round or idle
// flush is due; this bounds one sleep.
constexpr int64_t kMaxSleepMs = 1000;
constexpr uint16_t kGvcpPort = 3956;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A packet socket that receives nothing yet (protocol 0), bound to `ifindex` when not 0.
int openUnhooked(int ifindex, int* error) {
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (ifindex != 0) {
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_protocol = 0;
        a.sll_ifindex = ifindex;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            *error = errno;
            close(fd);
            return -1;
        }
    }
    return fd;
}

// The filter: IPv4 UDP from cameraIp (network order) and, when known, from the camera's stream
// source port, to hostPort, not fragmented, and not the outgoing copy of a packet (a loopback
// device shows every packet once per direction). Conditional jumps marked kDrop go to the
// final "drop" instruction.
std::vector<sock_filter> streamFilter(uint32_t cameraIp, uint16_t hostPort, uint16_t sourcePort) {
    constexpr uint8_t kDrop = 0xFF;
    std::vector<sock_filter> f = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, kDrop, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9), // IP protocol
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, kDrop),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 12), // source address
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(cameraIp), 0, kDrop),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6), // flags and fragment offset
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, kDrop, 0),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0), // X := IP header length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),  // UDP destination port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, hostPort, 0, kDrop),
    };
    if (sourcePort != 0) {
        f.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_IND, 0)); // UDP source port
        f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, sourcePort, 0, kDrop));
    }
    f.push_back(BPF_STMT(BPF_RET | BPF_K, 0x40000));
    f.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    const size_t drop = f.size() - 1;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i].jt == kDrop) f[i].jt = static_cast<uint8_t>(drop - i - 1);
        if (f[i].jf == kDrop) f[i].jf = static_cast<uint8_t>(drop - i - 1);
    }
    return f;
}

// The ring's block size for images of `packets` packets of `packetPayload` bytes: the smallest
// power of two that holds one image, within the bounds above.
uint32_t ringBlockSize(uint32_t packets, uint32_t packetPayload) {
    const uint64_t image = uint64_t(packets) * (uint64_t(packetPayload) + kPacketOverhead);
    uint32_t size = kMinBlockSize;
    while (size < image && size < kMaxBlockSize) size <<= 1;
    return size;
}

struct PendingRead {
    bool active = false;
    uint8_t* buffer = nullptr;
    GevDriverCompletion* done = nullptr;
    int64_t deadlineMs = 0;
};

struct Handle;

struct Slot {
    uint8_t id = 0;
    Handle* owner = nullptr;
    int logCam = 0;
    int fd = -1;     // the packet socket
    int wakeFd = -1; // eventfd that ends the thread's wait: a stop, an earlier deadline
    int ifindex = 0; // adapter it is bound to; 0 none
    uint16_t ringCount = 4;
    uint8_t reorder = 0;
    std::atomic<uint8_t> resend{0};
    GevFilterStartRecord start{};

    // Stream state: set up by start, owned by the thread while it runs, kept after a stop for
    // the statistics until the next start.
    uint8_t* map = nullptr;
    size_t mapSize = 0;
    uint32_t blockCount = 0;
    uint32_t blockSize = 0;
    std::unique_ptr<GevBufferQueues> ring;
    std::unique_ptr<GvspReceiver> rx;
    qx::net::UdpSocket control; // sends PACKETRESEND
    uint16_t requestId = 1;
    qx::sys::JoiningThread thread; // stopped through `stop`, then joined
    std::atomic<bool> stop{false};

    // Guarded by mutex: running flag, pending read, stop completion, last header, rate window.
    qx::sys::Mutex mutex;
    bool running QX_GUARDED_BY(mutex) = false;
    PendingRead pending QX_GUARDED_BY(mutex);
    GevDriverCompletion* stopDone QX_GUARDED_BY(mutex) = nullptr;
    GevImageHeader lastHeader QX_GUARDED_BY(mutex){};
    int64_t windowStart QX_GUARDED_BY(mutex) = 0;
    uint32_t windowFrames QX_GUARDED_BY(mutex) = 0;
    uint32_t doneFrames QX_GUARDED_BY(mutex) = 0;
    int64_t doneMs QX_GUARDED_BY(mutex) = 0;
    bool windowDone QX_GUARDED_BY(mutex) = false;
    int64_t sleepUntilMs QX_GUARDED_BY(mutex) = 0; // when the thread's current wait ends at the latest

    // Ends the thread's current or next wait.
    void wake() const {
        if (wakeFd < 0) return;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFd, &one, sizeof one);
    }
    void unmap() {
        if (map) munmap(map, mapSize);
        map = nullptr;
        mapSize = 0;
    }
    ~Slot() {
        unmap();
        if (fd >= 0) close(fd);
        if (wakeFd >= 0) close(wakeFd);
    }
};

struct Driver {
    qx::sys::Mutex mutex; // serialises the control calls of every handle
    std::unique_ptr<Slot> slots[kMaxSlots];
};

Driver& driver();

// At process exit the threads of slots still streaming are stopped and joined before the
// library's records they log through are destroyed.
void stopSlotsAtExit() {
    Driver& drv = driver();
    qx::sys::MutexLock lock(drv.mutex);
    for (auto& slot : drv.slots) {
        if (!slot) continue;
        slot->stop = true;
        slot->wake();
        slot->thread.join();
    }
}

Driver& driver() {
    // Never destroyed: a handle may be closed during static destruction.
    static Driver* d = [] {
        auto* created = new Driver;
        std::atexit(stopSlotsAtExit);
        return created;
    }();
    return *d;
}

struct Handle : GevDriverHandle {
    int ifindex = 0;            // adapter enabled through this handle
    Slot* streamSlot = nullptr; // the slot reads serve: the last one started

    ~Handle() override;
    int control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength, uint32_t* bytes,
                GevDriverCompletion* pending) override;
    int read(void* buffer, uint32_t length, uint32_t* bytes, GevDriverCompletion* pending) override;

    Slot* ownSlot(uint32_t id) {
        if (id >= kMaxSlots) return nullptr;
        Slot* s = driver().slots[id].get();
        return s && s->owner == this ? s : nullptr;
    }
    int adapter(const uint8_t* in, uint8_t* out, uint32_t outLength, uint32_t* bytes);
    int startStream(Slot* s, const GevFilterStartRecord& r);
    void stopAndJoin(Slot* s);
};

// Copies the oldest delivered block into the reader's buffer (a block written there already
// stays in place); EBADMSG for an incomplete block.
int finishRead(Slot* s, GevImageBuffer* b, uint8_t* dest) QX_REQUIRES(s->mutex) {
    GevImageHeader h{};
    const GevStatus st = gevCopyImage(*b, s->ring->payloadSize, dest, &h, s->logCam);
    s->lastHeader = h;
    s->ring->giveBack(b);
    return st == GEV_STATUS_SUCCESS ? 0 : EBADMSG;
}

// The end of a pending call (a read, a stop) decided under the slot's mutex and given to the
// caller once the mutex is released: the reader's next call (the image header) takes that mutex
// at once.
struct LateCompletion {
    GevDriverCompletion* done = nullptr;
    int err = 0;
    uint32_t count = 0;
    void fire() const {
        if (done) done->complete(err, count);
    }
};

// Ends a pending read when a block is there or its time is up (on the slot thread). While it
// waits, its buffer is lent to the next block the receiver starts: that block is written
// straight into it. A block that reaches the reader first, or the end of the wait, takes the
// loan back.
LateCompletion servePending(Slot* s, int64_t now, bool ending) QX_REQUIRES(s->mutex) {
    PendingRead& p = s->pending;
    GevBufferQueues& ring = *s->ring;
    if (!p.active) return {};
    if (GevImageBuffer* b = ring.deliverList.pop()) {
        if (b->lent != p.buffer) ring.withdrawLoan();
        const int err = finishRead(s, b, p.buffer);
        ring.withdrawLoan();
        p.active = false;
        return {p.done, err, ring.payloadSize};
    }
    if (ending || now >= p.deadlineMs) {
        ring.withdrawLoan();
        p.active = false;
        return {p.done, ending ? ECANCELED : ETIME, 0};
    }
    if (!ring.lentTo && !ring.lendNext) ring.lendNext = p.buffer;
    return {};
}

// Lends the buffer of a read that waits (see servePending) before more packets are placed.
void offerLoan(Slot* s) {
    qx::sys::MutexLock lock(s->mutex);
    GevBufferQueues& ring = *s->ring;
    if (s->pending.active && !ring.lentTo && !ring.lendNext) ring.lendNext = s->pending.buffer;
}

// One-second windows of delivered frames for the frame rate.
void countFrames(Slot* s, uint64_t delta, int64_t now) QX_REQUIRES(s->mutex) {
    if (s->windowStart == 0) { // the first delivery only starts the clock
        s->windowStart = now;
        s->windowFrames = 0;
        if (delta <= 1) return;
        delta -= 1;
    }
    s->windowFrames += static_cast<uint32_t>(delta);
    if (now - s->windowStart >= 1000) {
        s->doneFrames = s->windowFrames;
        s->doneMs = now - s->windowStart;
        s->windowDone = true;
        s->windowStart = now;
        s->windowFrames = 0;
    }
}

// Asks for the cache lines of `bytes` bytes from `p`, at most a jumbo packet's.
void prefetchPacket(const void* p, uint32_t bytes) {
    constexpr uint32_t kLine = 64;
    const auto* c = static_cast<const char*>(p);
    for (uint32_t at = 0; at < std::min<uint32_t>(bytes, 9216); at += kLine) __builtin_prefetch(c + at);
}

// One packet of the ring: the UDP payload goes to the receiver.
void onPacket(Slot* s, const tpacket3_hdr* h) {
    const auto* ll =
        reinterpret_cast<const sockaddr_ll*>(reinterpret_cast<const uint8_t*>(h) + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
    if (ll->sll_pkttype == PACKET_OUTGOING) return;
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(h) + h->tp_net;
    const uint32_t len = h->tp_snaplen;
    if (len < 20) return;
    const uint32_t ihl = (ip[0] & 0x0F) * 4u;
    if (ihl < 20 || len < ihl + 8) return;
    const uint8_t* udp = ip + ihl;
    const uint32_t udpLength = qx::sys::loadBe16(udp + 4);
    if (udpLength < 8) return;
    const uint32_t payload = std::min(udpLength, len - ihl) - 8;
    if (payload < gvsp::kHeaderSize) return;
    s->rx->ProcessStreamPacket(udp + 8, payload);
}

void slotThread(Slot* s) {
    GvspReceiver& rx = *s->rx;
    bool resend = s->start.resend != 0;
    // The resend flag may be switched while the slot streams: the receiver follows it before
    // the packets that came after the switch.
    auto followResendFlag = [&] {
        const bool wanted = s->resend.load() != 0;
        if (wanted == resend) return;
        resend = wanted;
        rx.setResendMode(wanted ? 1 : 0);
    };
    uint32_t block = 0;
    int64_t lastPacket = nowMs();
    bool idleFlushed = true;
    uint64_t delivered = 0;
    int64_t sleepMs = 0;
    while (!s->stop.load()) {
        // The kernel hands over a block when it is full or its time is up; nothing else needs
        // the thread in between but a stop, a read's deadline, a resend round or the idle flush.
        pollfd p[2] = {{s->fd, POLLIN, 0}, {s->wakeFd, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(sleepMs)) > 0 && (p[1].revents & POLLIN)) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(s->wakeFd, &count, sizeof count);
        }
        followResendFlag();
        bool any = false;
        // The resend rounds follow the packets one by one, as they would arriving one by one:
        // the stream moving on to the next block asks at once for what the block before lost.
        const int64_t woke = nowMs();
        // Bounded: one pass over the ring at most per wake-up.
        for (uint32_t n = 0; n < s->blockCount; ++n) {
            auto* bd = reinterpret_cast<tpacket_block_desc*>(s->map + size_t(block) * s->blockSize);
            if (!(__atomic_load_n(&bd->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)) break;
            followResendFlag();
            offerLoan(s);
            const uint32_t count = bd->hdr.bh1.num_pkts;
            auto* h = reinterpret_cast<tpacket3_hdr*>(reinterpret_cast<uint8_t*>(bd) + bd->hdr.bh1.offset_to_first_pkt);
            for (uint32_t i = 0; i < count; ++i) {
                auto* next = reinterpret_cast<tpacket3_hdr*>(reinterpret_cast<uint8_t*>(h) + h->tp_next_offset);
                // The kernel wrote the next packet on another processor: its lines are asked for
                // while this one is copied (packets of an image are of one size).
                if (i + 1 < count) prefetchPacket(next, h->tp_next_offset);
                onPacket(s, h);
                if (resend) rx.resendTick(woke, false);
                h = next;
            }
            any = any || count > 0;
            __atomic_store_n(&bd->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
            block = (block + 1) % s->blockCount;
        }
        const int64_t now = nowMs();
        if (any) {
            lastPacket = now;
            idleFlushed = false;
            if (resend) rx.resendTick(now, false);
        } else if (resend && rx.resendPending() && now - lastPacket < kIdleFlushMs) {
            // Silence only once nothing came for longer than the ring may keep packets back.
            rx.resendTick(now, now - lastPacket > kRetireMs);
        } else if (!idleFlushed && now - lastPacket >= kIdleFlushMs) {
            rx.flushOnIdle();
            idleFlushed = true;
        }
        int64_t due = s->wakeFd >= 0 ? kMaxSleepMs : kResendPollMs;
        if (resend && rx.resendPending() && now - lastPacket < kIdleFlushMs)
            due = std::min<int64_t>(kResendPollMs, rx.reaskWaitMs());
        if (!idleFlushed) due = std::min(due, std::max<int64_t>(lastPacket + kIdleFlushMs - now, 0));
        const uint64_t d = rx.delivered.load();
        LateCompletion end;
        {
            qx::sys::MutexLock lock(s->mutex);
            if (d != delivered) countFrames(s, d - delivered, now);
            delivered = d;
            end = servePending(s, now, false);
            // A read that comes while the thread sleeps ends no earlier than the wake-up, as long
            // as no sleep is longer than a read's wait: no wake-up per read.
            due = std::min<int64_t>(due, std::max<uint32_t>(s->start.grabStopTimeoutMs, 1));
            if (s->pending.active) due = std::min(due, std::max<int64_t>(s->pending.deadlineMs - now, 0));
            s->sleepUntilMs = now + due; // a read that must end before this wakes the thread
        }
        end.fire();
        sleepMs = due;
    }
    rx.flushAtEnd();
    // The ring is taken down before the stop is answered: nothing more is received.
    s->unmap();
    close(s->fd);
    int err = 0;
    s->fd = openUnhooked(s->ifindex, &err);
    s->control.close();
    LateCompletion end, stopped;
    {
        qx::sys::MutexLock lock(s->mutex);
        end = servePending(s, nowMs(), true);
        s->running = false;
        stopped.done = s->stopDone;
        s->stopDone = nullptr;
    }
    end.fire();
    stopped.fire();
}

int Handle::startStream(Slot* s, const GevFilterStartRecord& r) {
    s->thread.join();
    const uint32_t packets = GvspReceiver::packetsFor(r.payloadSize, r.packetPayload, r.extraPacket != 0);
    if (packets == 0 || r.payloadSize == 0) return EINVAL;
    if (s->fd < 0) {
        int err = 0;
        s->fd = openUnhooked(s->ifindex, &err);
        if (s->fd < 0) return err;
    }
    // Without it the thread looks every few milliseconds instead.
    if (s->wakeFd < 0) s->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::unique_ptr<GevBufferQueues> ring = AllocateRing(std::max<uint16_t>(s->ringCount, 1), r.payloadSize,
                                                         r.packetPayload, packets, r.width, r.height, r.pixelFormat);
    if (!ring) return ENOMEM;

    const std::vector<sock_filter> code = streamFilter(r.cameraIp, r.hostStreamPort, r.sourcePort);
    sock_fprog prog{static_cast<unsigned short>(code.size()), const_cast<sock_filter*>(code.data())};
    if (setsockopt(s->fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) return errno;
    int version = TPACKET_V3;
    if (setsockopt(s->fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return errno;
    tpacket_req3 req{};
    req.tp_block_size = ringBlockSize(packets, r.packetPayload);
    req.tp_frame_size = kFrameSize;
    req.tp_retire_blk_tov = kRetireMs;
    int err = 0;
    for (uint32_t blocks : {static_cast<uint32_t>(kRingBytes / req.tp_block_size), kSmallBlockCount}) {
        req.tp_block_nr = blocks;
        req.tp_frame_nr = req.tp_block_size / kFrameSize * blocks;
        err = setsockopt(s->fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) == 0 ? 0 : errno;
        if (err == 0) break;
    }
    if (err != 0) return err;
    const size_t size = size_t(req.tp_block_size) * req.tp_block_nr;
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
    if (map == MAP_FAILED) return errno;
    s->map = static_cast<uint8_t*>(map);
    s->mapSize = size;
    s->blockCount = req.tp_block_nr;
    s->blockSize = req.tp_block_size;

    GvspReceiverConfig cfg;
    cfg.payloadSize = r.payloadSize;
    cfg.width = r.width;
    cfg.height = r.height;
    cfg.pixelFormat = r.pixelFormat;
    cfg.packetPayload = r.packetPayload;
    cfg.extraPacket = r.extraPacket != 0;
    cfg.resendMode = r.resend ? 1 : 0;
    cfg.reaskWaitMs = kReaskWaitMs;
    cfg.handOverMs = kRetireMs; // the ring hands packets over up to its block timer late
    cfg.resendBudget = r.sc_packet_resend;
    cfg.reorderTolerance = s->reorder;
    cfg.logCam = s->logCam;
    s->resend = r.resend;
    s->requestId = 1;
    // PACKETRESEND leaves from the adapter to the camera's control port, from a socket of its
    // own as the stream receivers of other clients send it (a camera takes the command from any
    // port). Opened also with resend off: it may be switched on while the slot streams.
    const bool multicast = (ntohl(r.destinationIp) >> 28) == 0xE;
    if (s->control.open(multicast ? 0 : r.destinationIp, 0) != 0) s->control.close();
    s->rx = std::make_unique<GvspReceiver>(
        cfg, *ring,
        [s](uint64_t blockId, bool extended, uint32_t first, uint32_t last) {
            if (!s->resend.load() || !s->control.isOpen()) return false;
            gvsp::GevResendRequest q;
            q.requestId = s->requestId;
            s->requestId = gvcp::nextRequestId(s->requestId);
            q.extended = extended;
            q.blockId = blockId;
            q.firstPacket = first;
            q.lastPacket = last;
            const std::vector<uint8_t> cmd = gvsp::BuildPacketResend(q);
            return s->control.sendTo(s->start.cameraIp, kGvcpPort, cmd.data(), cmd.size()) > 0;
        },
        nullptr);
    s->ring = std::move(ring);
    s->start = r;

    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_IP);
    a.sll_ifindex = s->ifindex;
    if (bind(s->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        err = errno;
        s->unmap();
        close(s->fd);
        s->fd = -1;
        s->control.close();
        return err;
    }
    {
        qx::sys::MutexLock lock(s->mutex);
        s->running = true;
        s->lastHeader = GevImageHeader{};
        s->windowStart = 0;
        s->windowFrames = s->doneFrames = 0;
        s->doneMs = 0;
        s->windowDone = false;
    }
    s->stop = false;
    try {
        s->thread = qx::sys::JoiningThread(slotThread, s);
        s->thread.setName("qx-filter-rx");
    } catch (const std::system_error&) {
        qx::sys::MutexLock lock(s->mutex);
        s->running = false;
        return EAGAIN;
    }
    streamSlot = s;
    return 0;
}

void Handle::stopAndJoin(Slot* s) {
    s->stop = true;
    s->wake();
    s->thread.join();
}

int Handle::adapter(const uint8_t* in, uint8_t* out, uint32_t outLength, uint32_t* bytes) {
    const uint32_t length = qx::sys::loadLe32(in + 512);
    const uint32_t action = qx::sys::loadLe32(in + 516);
    if (length > kAdapterNameBytes || length % 2 != 0) return EINVAL;
    std::string name;
    for (uint32_t i = 0; i < length; i += 2) {
        const uint16_t c = qx::sys::loadLe16(in + i);
        name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    static const char kPrefix[] = "\\DEVICE\\";
    if (name.size() >= sizeof kPrefix - 1 && strncasecmp(name.c_str(), kPrefix, sizeof kPrefix - 1) == 0)
        name.erase(0, sizeof kPrefix - 1);
    if (action == kAdapterQuery) {
        if (outLength < 1) return EINVAL;
        out[0] = ifindex != 0 && ifindex == static_cast<int>(if_nametoindex(name.c_str())) ? kAdapterReady : 0;
        *bytes = 1;
        return 0;
    }
    if (action != kAdapterEnable && action != kAdapterDisable) return EINVAL;
    if (outLength < 4) return EINVAL;
    uint32_t result = 0;
    if (action == kAdapterDisable) {
        ifindex = 0;
    } else {
        const int index = static_cast<int>(if_nametoindex(name.c_str()));
        result = index == 0 ? ENODEV : 0;
        // The slots of this handle that are not streaming listen on the adapter from now on.
        for (auto& slot : driver().slots) {
            Slot* s = slot.get();
            if (result != 0 || !s || s->owner != this) continue;
            {
                qx::sys::MutexLock slotLock(s->mutex);
                if (s->running) continue;
            }
            int err = 0;
            const int fd = openUnhooked(index, &err);
            if (fd < 0) {
                result = static_cast<uint32_t>(err);
                break;
            }
            if (s->fd >= 0) close(s->fd);
            s->fd = fd;
            s->ifindex = index;
        }
        if (result == 0) ifindex = index;
    }
    qx::sys::storeLe32(out, result);
    *bytes = 4;
    return 0;
}

int Handle::control(uint32_t code, const void* inPtr, uint32_t inLength, void* outPtr, uint32_t outLength,
                    uint32_t* bytes, GevDriverCompletion* pending) {
    const auto* in = static_cast<const uint8_t*>(inPtr);
    auto* out = static_cast<uint8_t*>(outPtr);
    *bytes = 0;
    Driver& drv = driver();
    qx::sys::UniqueLock lock(drv.mutex);
    switch (code) {
    case fdc::kAllocateSlot: {
        if (!out || outLength < 1) return EINVAL;
        for (int id = 0; id < kMaxSlots; ++id) {
            if (drv.slots[id]) continue;
            int err = 0;
            const int fd = openUnhooked(ifindex, &err);
            if (fd < 0) return err;
            auto s = std::make_unique<Slot>();
            s->id = static_cast<uint8_t>(id);
            s->owner = this;
            s->fd = fd;
            s->ifindex = ifindex;
            drv.slots[id] = std::move(s);
            out[0] = static_cast<uint8_t>(id);
            *bytes = 1;
            return 0;
        }
        return EBUSY;
    }
    case fdc::kSetCamera: {
        if (!in || inLength < 8) return EINVAL;
        Slot* s = ownSlot(qx::sys::loadLe32(in));
        if (!s) return EINVAL;
        s->logCam = static_cast<int>(qx::sys::loadLe32(in + 4));
        return 0;
    }
    case fdc::kAdapter:
        if (!in || inLength < kAdapterRequestSize || !out) return EINVAL;
        return adapter(in, out, outLength, bytes);
    case fdc::kResend:
    case fdc::kReorder:
    case fdc::kBufferCount: {
        if (!in || inLength < (code == fdc::kBufferCount ? 4u : 2u)) return EINVAL;
        Slot* s = ownSlot(in[0]);
        if (!s) return EINVAL;
        if (code == fdc::kResend) s->resend = in[1] ? 1 : 0;
        else if (code == fdc::kReorder) s->reorder = in[1];
        else s->ringCount = qx::sys::loadLe16(in + 2);
        return 0;
    }
    case fdc::kStartStream: {
        if (!in || inLength < sizeof(GevFilterStartRecord)) return EINVAL;
        GevFilterStartRecord r;
        std::memcpy(&r, in, sizeof r);
        Slot* s = ownSlot(r.slot);
        if (!s) return EINVAL;
        {
            qx::sys::MutexLock slotLock(s->mutex);
            if (s->running) return EBUSY;
        }
        return startStream(s, r);
    }
    case fdc::kStopStream: {
        if (!in || inLength < sizeof(GevFilterStartRecord)) return EINVAL;
        Slot* s = ownSlot(in[36]);
        if (!s) return EINVAL;
        {
            qx::sys::MutexLock slotLock(s->mutex);
            if (!s->running) return 0;
            if (pending && !s->stopDone) {
                // Answered by the slot's thread once it has taken its ring down.
                s->stopDone = pending;
                s->stop = true;
                s->wake();
                return EINPROGRESS;
            }
        }
        stopAndJoin(s);
        return 0;
    }
    case fdc::kImageHeader: {
        if (!in || inLength < 1 || !out || outLength < kImageHeaderRequestSize) return EINVAL;
        Slot* s = ownSlot(in[0]);
        if (!s) return EINVAL;
        qx::sys::MutexLock slotLock(s->mutex);
        std::memcpy(out + 8, &s->lastHeader, sizeof s->lastHeader);
        *bytes = kImageHeaderRequestSize;
        return 0;
    }
    case fdc::kStatistics: {
        if (!in || inLength < 1 || !out || outLength < kStatisticsSize) return EINVAL;
        Slot* s = ownSlot(in[0]);
        if (!s) return EINVAL;
        GevFilterStatistics st;
        qx::sys::MutexLock slotLock(s->mutex);
        if (s->rx) {
            st.deliveredFrames = static_cast<uint32_t>(s->rx->delivered.load());
            st.missingFrames = static_cast<uint32_t>(s->rx->missingBlocks.load());
            st.lostPackets = static_cast<uint32_t>(s->rx->missingPackets.load());
            st.deviceDiscarded = static_cast<uint32_t>(s->rx->deviceDiscarded.load());
            st.resendRequested = static_cast<uint32_t>(s->rx->resendRequested.load());
        }
        st.windowFrames = s->windowDone ? s->doneFrames : s->windowFrames;
        st.windowMs =
            static_cast<uint64_t>(s->windowDone ? s->doneMs : (s->windowStart ? nowMs() - s->windowStart : 0));
        gevEncodeFilterStatistics(st, out);
        *bytes = kStatisticsSize;
        return 0;
    }
    default: return EOPNOTSUPP;
    }
}

int Handle::read(void* buffer, uint32_t length, uint32_t* bytes, GevDriverCompletion* pending) {
    *bytes = 0;
    Slot* s = nullptr;
    {
        qx::sys::MutexLock lock(driver().mutex);
        s = streamSlot;
    }
    if (!s || !buffer) return EINVAL;
    qx::sys::UniqueLock lock(s->mutex);
    if (!s->running || !s->ring) return ENODATA;
    if (length < s->ring->payloadSize) return EINVAL;
    if (s->pending.active) return EBUSY;
    GevImageBuffer* b = s->ring->deliverList.pop();
    if (!b && !pending) {
        lock.unlock();
        b = s->ring->deliverList.popWait(std::max<uint32_t>(s->start.grabStopTimeoutMs, 1));
        lock.lock();
        if (!b) return ETIME;
    }
    if (b) {
        const int err = finishRead(s, b, static_cast<uint8_t*>(buffer));
        *bytes = s->ring->payloadSize;
        return err;
    }
    s->pending.active = true;
    s->pending.buffer = static_cast<uint8_t*>(buffer);
    s->pending.done = pending;
    s->pending.deadlineMs = nowMs() + std::max<uint32_t>(s->start.grabStopTimeoutMs, 1);
    if (s->pending.deadlineMs < s->sleepUntilMs) s->wake();
    return EINPROGRESS;
}

Handle::~Handle() {
    Driver& drv = driver();
    qx::sys::MutexLock lock(drv.mutex);
    for (auto& slot : drv.slots) {
        if (!slot || slot->owner != this) continue;
        stopAndJoin(slot.get());
        slot.reset();
    }
}

} // namespace

std::unique_ptr<GevDriverHandle> openDevice(const char* path, int* error) {
    if (!path || std::strcmp(path, kFilterDriverPath) != 0) {
        if (error) *error = ENOENT;
        return nullptr;
    }
    return std::make_unique<Handle>();
}

} // namespace qx::gige::filter
