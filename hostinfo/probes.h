// Probes of the host that travel with the catalog request.  Each returns a
// fixed value when its source is unavailable and never raises or logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The hardware address of the first non-loopback interface with an IPv4
// address, as 17 lower-case characters (aa:bb:cc:dd:ee:ff).  1 when found;
// -1 otherwise, with output unchanged.
int get_mac_address(std::string& output);
// The microcode revision of the first processor listed in /proc/cpuinfo
// ("0xde"); "" when there is none.
std::string get_cpu_id();
// The disk identifier from the disk listing (needs administrator rights); "".
std::string get_disk_id();
// "<sysname>-<release>-<machine>[-with-<libc name and version>]"; "Linux"
// when the kernel identification cannot be read.
std::string _get_os();
// The host name; "" when it cannot be read.
std::string get_server_name();
// Total memory in bytes, decimal, from /proc/meminfo; "0" when unreadable.
std::string get_memory_total();

// The buffer probes write at most 20 characters and a terminator; each is
// given the buffer's size and never writes past it.  All return true.
// Boot time as "YYYY-MM-DD hh:mm:ss" at UTC+8; buffer unchanged on failure.
bool get_boot_time(char* buffer, size_t size);
// Total RAM in KiB; buffer unchanged on failure.
bool get_mem_size(char* buffer, size_t size);
// Size of the root file system in KiB; buffer unchanged on failure.
bool get_disk_size(char* buffer, size_t size);
// Number of configured processors ("-1" when unknown).
bool get_cpu_num(char* buffer, size_t size);

// ---- parsers of the probes' sources, separable for tests ----

// The value of the first "microcode" line of a cpuinfo text, without its line end.
std::string cpu_id_from_cpuinfo(const std::string& text);
// Bytes of the first "MemTotal" line of a meminfo text, or "0".
std::string memory_total_from_meminfo(const std::string& text);
// Runtime part of the OS description from a confstr answer ("glibc 2.17" ->
// "glibc2.17"); "unknown" for an empty answer.
std::string runtime_from_libc_version(const std::string& answer);
// Writes boot_moment (seconds since the epoch) as wall-clock time at UTC+8.
bool format_boot_time(int64_t boot_moment, char* buffer, size_t size);
