// Every fixed path of the system, formed in one place from the board root.
//
// ZTPU_ROOT is fixed at compile time: empty on a production board, "." on a
// simulated board (paths relative to the directory the program runs in).
// No other file spells a path of the board.
#pragma once

#ifndef ZTPU_ROOT
#define ZTPU_ROOT ""
#endif

#define ZTPU_PATH(p) ZTPU_ROOT p

namespace ztpu::path {

inline constexpr const char* root = ZTPU_ROOT;

// Serial lines
inline constexpr const char* gate_tty = ZTPU_PATH("/dev/ttySP2");
inline constexpr const char* bt_tty = ZTPU_PATH("/dev/ttySP0");

// Configuration
inline constexpr const char* conf = ZTPU_PATH("/etc/ztpu.conf");

// Secure device store and CPU fuse serial number
inline constexpr const char* store_dir = ZTPU_PATH("/etc/poskey");
inline constexpr const char* fuse = ZTPU_PATH("/sys/fsl_otp/HW_OCOTP_CUST0");

// Directory where a key-table plug-in is written while it loads
inline constexpr const char* tmp_dir = ZTPU_PATH("/tmp");

// Orders
inline constexpr const char* ulocal_dir = ZTPU_PATH("/var/ulocal");
inline constexpr const char* seq_id = ZTPU_PATH("/var/ulocal/SEQUENCID");
inline constexpr const char* record_file = ZTPU_PATH("/var/ulocal/ZEF_BIZRECORD.csv");
inline constexpr const char* upload_dir = ZTPU_PATH("/var/ulocal/upload/");
inline constexpr const char* backup_dir = ZTPU_PATH("/var/ulocal/backup/");
inline constexpr const char* lock_dir = ZTPU_PATH("/var/lock");
inline constexpr const char* record_lock = ZTPU_PATH("/var/lock/ZEF_BIZRECORD.lock");

// System log
inline constexpr const char* log_dir = ZTPU_PATH("/var/log/");
inline constexpr const char* log_file = ZTPU_PATH("/var/log/messages");

// True on a simulated board: no syslog daemon, messages go to log_file.
inline constexpr bool simulated = root[0] != '\0';

}  // namespace ztpu::path
