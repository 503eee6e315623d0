#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include <gtest/gtest.h>

#include "fail_call.h"
#include "hostinfo/probes.h"

TEST(CpuInfo, FirstMicrocodeLineWithoutLineEnd) {
  std::string text =
      "processor\t: 0\nmodel name\t: Some CPU\nmicrocode\t: 0xde\n"
      "processor\t: 1\nmicrocode\t: 0xff\n";
  EXPECT_EQ(cpu_id_from_cpuinfo(text), "0xde");
  EXPECT_EQ(cpu_id_from_cpuinfo("microcode\t: 0x1000065\r\n"), "0x1000065");
  EXPECT_EQ(cpu_id_from_cpuinfo("processor\t: 0\nmodel name\t: Other\n"), "");
  EXPECT_EQ(cpu_id_from_cpuinfo(""), "");
  // Without a colon the whole line counts, less its first space.
  EXPECT_EQ(cpu_id_from_cpuinfo("microcode 7"), "microcode7");
}

TEST(MemInfo, TotalInBytes) {
  EXPECT_EQ(memory_total_from_meminfo("MemTotal:       16314396 kB\nMemFree: 1 kB\n"),
            "16705941504");
  EXPECT_EQ(memory_total_from_meminfo("MemFree: 5 kB\nMemTotal: 1 kB\n"), "1024");
  EXPECT_EQ(memory_total_from_meminfo("MemFree: 5 kB\n"), "0");
  EXPECT_EQ(memory_total_from_meminfo("MemTotal: kB\n"), "0");
  EXPECT_EQ(memory_total_from_meminfo(""), "0");
  // A figure whose byte count overflows is unusable, never wraps.
  EXPECT_EQ(memory_total_from_meminfo("MemTotal: 99999999999999999999 kB\n"), "0");
}

TEST(OsDescription, RuntimeWordsJoined) {
  EXPECT_EQ(runtime_from_libc_version("glibc 2.17"), "glibc2.17");
  EXPECT_EQ(runtime_from_libc_version(""), "unknown");
  std::string os = _get_os();
  EXPECT_EQ(os.rfind("Linux-", 0), 0u);
  EXPECT_NE(os.find("-with-glibc"), std::string::npos);
  EXPECT_EQ(os.find(' '), std::string::npos);
}

TEST(BootTime, RendersAtUtcPlusEight) {
  // 2023-12-31 20:30:00 UTC is 2024-01-01 04:30:00 at UTC+8.
  struct tm t = {};
  t.tm_year = 123;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 20;
  t.tm_min = 30;
  char buf[32];
  ASSERT_TRUE(format_boot_time(static_cast<int64_t>(timegm(&t)), buf, sizeof buf));
  EXPECT_STREQ(buf, "2024-01-01 04:30:00");
  char small[8];
  ASSERT_TRUE(format_boot_time(static_cast<int64_t>(timegm(&t)), small, sizeof small));
  EXPECT_STREQ(small, "2024-01");
}

TEST(Probes, RealMachine) {
  std::string mac = "unchanged";
  int rc = get_mac_address(mac);
  if (rc == 1) {
    ASSERT_EQ(mac.size(), 17u);
    for (size_t i = 0; i < mac.size(); ++i) {
      if (i % 3 == 2) {
        EXPECT_EQ(mac[i], ':');
      } else {
        EXPECT_TRUE(isxdigit(static_cast<unsigned char>(mac[i])) &&
                    !isupper(static_cast<unsigned char>(mac[i])));
      }
    }
  } else {
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(mac, "unchanged");
  }

  char host[80];
  ASSERT_EQ(gethostname(host, sizeof host), 0);
  EXPECT_EQ(get_server_name(), host);

  char buf[32] = "";
  get_cpu_num(buf, sizeof buf);
  EXPECT_EQ(atol(buf), sysconf(_SC_NPROCESSORS_CONF));
  strcpy(buf, "");
  get_mem_size(buf, sizeof buf);
  EXPECT_GT(atoll(buf), 0);
  // /proc/meminfo and sysinfo() report the same total.
  EXPECT_EQ(std::stoll(get_memory_total()), atoll(buf) * 1024);
  strcpy(buf, "");
  get_disk_size(buf, sizeof buf);
  EXPECT_GT(atoll(buf), 0);
  strcpy(buf, "");
  get_boot_time(buf, sizeof buf);
  EXPECT_EQ(strlen(buf), 19u);
  EXPECT_EQ(get_disk_id().find('\n'), std::string::npos);
}

TEST(Probes, FixedValuesWhenTheirSourceFails) {
  std::string mac;
  const bool has_mac = get_mac_address(mac) == 1;
  for (const char* fails : {"socket", "SIOCGIFCONF", "SIOCGIFFLAGS", "SIOCGIFHWADDR"}) {
    const bool request = strncmp(fails, "SIOC", 4) == 0;
    FailCall fail({request ? "ioctl" : "socket", EIO, 0, -1, request ? fails : nullptr});
    mac = "unchanged";
    EXPECT_EQ(get_mac_address(mac), -1) << fails;
    EXPECT_EQ(mac, "unchanged") << fails;
    // Without an interface that has an address, the last two are never asked.
    EXPECT_TRUE(fail.failed() > 0 || !has_mac) << fails;
  }
  std::string server = "unchanged";
  std::string os = "unchanged";
  {
    FailCall no_name({"gethostname", EFAULT});
    FailCall no_kernel({"uname", EFAULT});
    server = get_server_name();
    os = _get_os();
    EXPECT_EQ(no_name.failed() + no_kernel.failed(), 2);
  }
  EXPECT_EQ(server, "");
  EXPECT_EQ(os, "Linux");
  {
    FailCall no_libc({"confstr", EINVAL});
    os = _get_os();
    EXPECT_EQ(no_libc.failed(), 1);
  }
  EXPECT_EQ(os.rfind("Linux-", 0), 0u);
  EXPECT_EQ(os.find("-with-"), std::string::npos);

  char boot[32] = "kept", mem[32] = "kept", disk[32] = "kept";
  std::string disk_id = "unchanged";
  {
    FailCall no_info({"sysinfo", EFAULT});
    FailCall no_fs({"statfs", EIO});
    FailCall no_pipe({"pipe2", EMFILE});
    EXPECT_TRUE(get_boot_time(boot, sizeof boot));
    EXPECT_TRUE(get_mem_size(mem, sizeof mem));
    EXPECT_TRUE(get_disk_size(disk, sizeof disk));
    disk_id = get_disk_id();
    EXPECT_EQ(no_info.failed() + no_fs.failed() + no_pipe.failed(), 4);
  }
  EXPECT_STREQ(boot, "kept");
  EXPECT_STREQ(mem, "kept");
  EXPECT_STREQ(disk, "kept");
  EXPECT_EQ(disk_id, "");
  // A moment whose year does not fit a calendar leaves the buffer alone.
  EXPECT_FALSE(format_boot_time(int64_t{1} << 60, boot, sizeof boot));
  EXPECT_STREQ(boot, "kept");
}
