// Device link: the two device nodes and the state the main thread shares
// with JACK's real-time thread.
//
// The main thread opens, probes and closes the nodes once a second; the
// process cycle reads the capture node and writes the playback node.  One
// mutex, link_lock, guards both descriptors, the count of capture opens
// and the capture read buffer.  The main thread is the only writer of the
// descriptors and the count, so it may read them without the lock; it
// takes the lock to publish, probe or retire a descriptor.  The real-time
// thread holds it for a whole capture drain and around each playback step
// (playback_queue.h), so a descriptor is never closed under its feet.  With
// -t the two timing threads take the place of the process cycle here: each
// takes the lock around its own non-blocking read or write, and the cycle
// never takes it.  Both descriptors are non-blocking: nothing done under
// the lock waits for a device.
#pragma once

#include <pthread.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device/alsa_rawmidi.h"

namespace cableferry {

inline constexpr int read_buffer_size = 16;

struct device_link_t {
	int capture_fd = -1;                                  // capture node, non-blocking; -1 while closed
	int playback_fd = -1;                                 // playback node, non-blocking; -1 while closed
	std::uint32_t capture_opens = 0;                      // times the capture slot was opened: tells one open from the next
	std::array<std::uint8_t, read_buffer_size> read_buffer{}; // captured bytes not yet packetised
	int read_pos = 0;                                     // next byte of read_buffer to hand out
	int read_len = 0;                                     // valid bytes in read_buffer
};

extern device_link_t device_link;
extern pthread_mutex_t link_lock;

// The nodes the link serves, given once at start-up before the first
// service: paths, or ALSA hw: names (alsa_rawmidi.h), which are resolved
// anew at each open.  A slot whose path is absent is never opened.
void device_link_set_paths(std::optional<std::string> capture_path,
                           std::optional<std::string> playback_path);

// The raw MIDI port the capture (or playback) slot's latest open took;
// card -1 when that open failed or the node is no raw MIDI node.  Main
// thread only.
const rawmidi_port_t &device_link_port(bool capture);

// Why the capture (or playback) slot's latest open failed, an errno value;
// 0 when it succeeded, or before the first.  Main thread only.
int device_link_open_error(bool capture);

// That reason in words, or nullptr when there is none: strerror's words,
// or for an ALSA name "no such card" and "no such MIDI device on the card".
const char *device_link_open_reason(bool capture);

// Initialises link_lock, with priority inheritance where the system has it.
// Called once at start-up.
void link_lock_init();

// Opens what is closed, probes what is open and closes what has gone, for
// the capture slot and then the playback slot.  Main thread only.
void device_link_service();

// True when an open descriptor no longer stands for the node at path even
// though the status-flag change still succeeds: the node was removed or
// replaced, the descriptor reports an error, or a terminal hung up.
bool node_gone(int fd, const char *path);

} // namespace cableferry
