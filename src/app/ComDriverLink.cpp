#include "app/ComDriverLink.h"

TComDriverLink::TComDriverLink() {
  FDriver.SetTag(1);
  FDriver.OnRecString = [this](TComDriver&, int32_t) {
    if (OnRecString) OnRecString();
  };
  FDriver.OnLinkLost = [this](TComDriver& d, int32_t) {
    if (OnLinkLost) OnLinkLost(d.LinkError());
  };
  FDriver.OnLinkTrouble = [this](TComDriver& d, int32_t) {
    if (OnLinkTrouble) OnLinkTrouble(d.LinkError());
  };
}
