// Configuration store: the 21 key=value settings of the board.
//
// Loaded from the configuration file at start-up and replaced whole by a
// configuration update. A load is all or nothing: a new set replaces the
// current one only when every item got a valid value. Getters copy values
// out under the store's reader-writer lock, so no caller holds a pointer
// into the set. Every function may be called from any thread.
#pragma once

enum mconf_key : int {
  MC_CONFIG_VER = 0,
  MC_IP_ADDR,
  MC_NETMASK,
  MC_GATEWAY,
  MC_DNS,
  MC_DNS2,
  MC_TIME_SERVER,
  MC_TPU_CODE,
  MC_MERCHANT_CODE,
  MC_EXIT_FLAG,
  MC_SERVER_IP,
  MC_SERVER_PORT,
  MC_UPLOAD_INTERVAL,
  MC_HEARTBEAT_INTERVAL,
  MC_HEARTBEAT_RETRIES,
  MC_VOUCHER_CHECK_TIME,
  MC_FILE_BLOCK_SIZE,
  MC_DEFAULT_STATION,
  MC_USE_DEFAULT_STATION,
  MC_OFFLINE_DELAY,
  MC_OLD_SECURITY_LIFE,
  MC_ITEMS  // count of items; not a key
};

// Loads the configuration file into the current set. 0, or -1 (the file is
// missing, empty, unreadable or lacks an item; the current set is kept).
int mconf_init();

// Drops the current set. Waits for readers in progress; later reads fail.
void mconf_exit();

// Value of an integer item; -1 when no set is loaded, the key is not one of
// the 21 items, the item is not set or is a string item. A stored -1 cannot
// be told from a failure.
int mconf_get_int(mconf_key key);

// Sets an integer item and marks it set. 0, or -1 (no set, bad key, string item).
int mconf_set_int(mconf_key key, int value);

// Copies a string item into value[0..maxlen). A text shorter than maxlen is
// followed by a zero byte; one of exactly maxlen bytes fills the buffer with
// no terminator (for fixed-width fields). -1 when no set is loaded, the key
// is bad, the item is unset or an integer item, or the text is longer than
// maxlen.
int mconf_get_str(mconf_key key, char* value, int maxlen);

// Replaces a string item's text with a copy of value; does not change the
// item's set flag. 0, or -1 (no set, bad key, integer item, value NULL).
int mconf_set_str(mconf_key key, const char* value);

// Parses size bytes of configuration text (no terminator needed; buf is not
// modified) and installs the result when complete. 0, or -1.
int mconf_load_from_buffer(const char* buf, int size);

// Writes size bytes to the configuration file (mode 0644 when new; an
// existing file keeps its owner and mode), under a temporary name renamed
// into place, so the file holds either the old or the whole new text. A
// symbolic link there stays and the file it leads to is replaced. 0, or -1
// (size <= 0, or the text could not be written in full).
int mconf_do_store(const char* buf, int size);

// mconf_load_from_buffer, and only when it succeeded, mconf_do_store.
// Returns the load's failure or the store's result.
int mconf_load_store_from_buffer(const char* buf, int size);
