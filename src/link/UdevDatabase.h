#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the serial-device list reads from the system's device database (libudev), as plain
// data: tests stand in for the machine's devices and for its news of plugging.

// One tty device as the database describes it.
struct TTtyRecord {
  struct TAncestor {
    std::string Subsystem;
    std::string Driver;  // "" when none is bound
  };
  std::string Node;                               // device node; "" when it has none
  std::optional<std::string> Type;                // the port's "type" attribute, when it has one
  std::vector<std::string> Links;                 // the node's symbolic links
  std::vector<TAncestor> Ancestors;               // its parent first; none for a virtual tty
  std::map<std::string, std::string> Properties;  // ID_VENDOR_ID, ID_MODEL, ...
  std::map<std::string, std::string> Usb;         // attributes of the USB device above it, if any
};

class TUdevDatabase {
 public:
  virtual ~TUdevDatabase() = default;
  // False when the database could not be opened; nothing else may then be called.
  virtual bool Opened() const = 0;
  // Every tty device. 0, or a negative errno when they cannot be scanned.
  virtual int ScanTtys(std::vector<TTtyRecord>& ttys) = 0;
  // Starts listening for news of ttys: the descriptor that is readable while news is queued,
  // or -1 when none can come.
  virtual int StartMonitor() = 0;
  virtual void StopMonitor() = 0;
  // Takes the next queued news: its action ("add", "remove", "change" ...). False when none is
  // queued; never blocks.
  virtual bool NextNews(std::string& action) = 0;
};

std::unique_ptr<TUdevDatabase> OpenUdevDatabase();
