#pragma once

#include <string>
#include <vector>

#include "link/ComDriver.h"
#include "link_test_util.h"

// Records every driver event, in order, with what a handler would read at that moment.
struct EventLog {
  std::vector<std::string> entries;
  bool wrong_nro = false;

  void Attach(TComDriver& d) {
    auto on = [this](const char* name, auto value) {
      return [this, name, value](TComDriver& s, int32_t nro) {
        if (nro != s.GetTag()) wrong_nro = true;
        entries.push_back(std::string(name) + value(s));
      };
    };
    auto none = [](TComDriver&) { return std::string(); };
    d.OnRecString = on("Rec:", [](TComDriver& s) {
      return s.receivedString + " DEV=" + std::to_string(s.GetDEV());
    });
    d.OnADDRDBGchange =
        on("ADDRDBG=", [](TComDriver& s) { return std::to_string(s.GetADDRDBG()); });
    d.OnDATADBGchange =
        on("DATADBG=", [](TComDriver& s) { return std::to_string(s.GetDATADBG()); });
    d.OnDEVchange = on("DEV=", [](TComDriver& s) { return std::to_string(s.GetDEV()); });
    d.OnUPDATERchange =
        on("UPDATER=", [](TComDriver& s) { return std::to_string(s.GetUPDATER()); });
    d.OnDOLLARSchange =
        on("DOLLARS=", [](TComDriver& s) { return std::to_string(s.GetDOLLARS()); });
    d.OnQUERYALLchange = on("QUERYALL", none);
    d.OnSetDIESEchange = on("DIESE", none);
    d.OnSentString = on("Sent:", [](TComDriver& s) { return s.sentString; });
    d.OnConTypechange =
        on("ConType=", [](TComDriver& s) { return std::to_string(s.GetConType()); });
    d.OnIpLocalPortchange = on("IpLocalPort", none);
    d.OnIpRemotePortchange = on("IpRemotePort", none);
    d.OnIpRemoteAddresschange = on("IpRemoteAddress", none);
  }
  size_t Count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& e : entries) n += e.rfind(prefix, 0) == 0;
    return n;
  }
};
