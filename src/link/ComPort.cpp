#include "link/ComPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "formats/text.h"
#include "link/SysError.h"

namespace {

// Without a modem-change wait that poll() can join, lines are sampled this often.
constexpr int kModemPollMs = 200;
// The port reported a hang-up (or read as end of file) without an error number.
constexpr int kHungUp = -1;

struct SpeedEntry {
  uint32_t baud;
  speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(uint32_t baud, speed_t& code) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.baud == baud) {
      code = e.code;
      return true;
    }
  }
  return false;
}

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r < 0 ? errno : 0;
}

// Modem lines as TIOCM bits, or -1 where the port has none (pseudo-terminals).
int ModemLines(int fd) {
  int bits = 0;
  return Ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
}

uint32_t ModemStatus(int lines) {
  if (lines < 0) return 0;
  uint32_t status = 0;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CD) status |= MS_RLSD_ON;
  return status;
}

// Sum of the line error counters, or -1 where the driver keeps none.
long long LineErrorCount(int fd) {
  serial_icounter_struct c{};
  if (Ioctl(fd, TIOCGICOUNT, &c) != 0) return -1;
  return static_cast<long long>(c.frame) + c.overrun + c.parity + c.brk + c.buf_overrun;
}

// Locks the port for this process. Root passes over another program's exclusive mark at
// open(), so a mark that is already set means the port is in use just the same.
int TakePort(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) < 0) return errno == EWOULDBLOCK ? EBUSY : errno;
  int marked = 0;
  if (Ioctl(fd, TIOCGEXCL, &marked) == 0 && marked) return EBUSY;
  return 0;
}

// A raw 9600 baud 8N1 line without flow control; Open sets the real line straight after.
int MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) < 0) return errno;
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARODD | CMSPAR | CRTSCTS | HUPCL);
  // No parity until Open sets the real line: pseudo-terminals refuse any.
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  return tcsetattr(fd, TCSANOW, &tio) < 0 ? errno : 0;
}

}  // namespace

std::string DefaultComDevice(const std::string& portName) {
  if (portName.size() > 3 && portName.compare(0, 3, "COM") == 0) {
    std::optional<int64_t> n = StrToInt(portName.substr(3), 1, 256);
    if (n && portName.find_first_not_of("0123456789", 3) == std::string::npos) {
      return "/dev/ttyS" + std::to_string(*n - 1);
    }
  }
  return portName;
}

// ---------------------------------------------------------------------------------------------
// TCommThread

TCommThread::TCommThread(const std::string& device) {
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    open_error_ = errno;
    return;
  }
  // The lock comes first: until it is ours the exclusive mark belongs to whoever holds the port,
  // and clearing it on the way out would open the port to everyone.
  int err = TakePort(fd);
  bool marked = false;
  if (err == 0) {
    err = Ioctl(fd, TIOCEXCL, nullptr);
    marked = err == 0;
  }
  if (err == 0) err = MakeRaw(fd);
  if (err == 0) {
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) err = errno;
  }
  if (err != 0) {
    if (marked) Ioctl(fd, TIOCNXCL, nullptr);
    close(fd);
    open_error_ = err;
    return;
  }
  // USB adapters otherwise hold received bytes back for up to 16 ms; not every driver has it.
  serial_struct ss{};
  if (Ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
    ss.flags |= ASYNC_LOW_LATENCY;
    Ioctl(fd, TIOCSSERIAL, &ss);
  }
  fd_ = fd;
  ResetPort();
  QObject::connect(&write_notifier_, &QSocketNotifier::activated, &write_notifier_,
                   [this] { Flush(); });
}

TCommThread::~TCommThread() {
  *alive_ = false;
  StopWaiting();
  write_notifier_.setEnabled(false);
  if (fd_ >= 0) {
    // The exclusive mark outlives our descriptor when someone else still holds the tty.
    Ioctl(fd_, TIOCNXCL, nullptr);
    close(fd_);
  }
  if (stop_fd_ >= 0) close(stop_fd_);
}

int TCommThread::SetLine(uint32_t baud, uint8_t dataBits, TParity parity, TStopBit stopBits) {
  speed_t speed;
  if (!SpeedCode(baud, speed) || dataBits < 5 || dataBits > 8) return EINVAL;
  termios tio{};
  if (tcgetattr(fd_, &tio) < 0) return errno;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  tio.c_cflag |= kSizes[dataBits - 5];
  switch (parity) {
    case ptNONE:
      break;
    case ptODD:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case ptEVEN:
      tio.c_cflag |= PARENB;
      break;
    case ptMARK:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case ptSPACE:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
  }
  // The line has no one-and-a-half stop bits; two is the nearest it can do.
  if (stopBits != sbONE) tio.c_cflag |= CSTOPB;
  // A parity bit is generated but never checked.
  tio.c_iflag &= ~INPCK;
  if (tcsetattr(fd_, TCSANOW, &tio) < 0) return errno;
  return 0;
}

void TCommThread::ResetPort() {
  if (fd_ < 0) return;
  // Only what was received before is stale. Output left by an earlier opening has been drained
  // by its close, or, on a pseudo-terminal, handed to the other side already, where purging
  // it would take back bytes the device has not read yet (the writes just before a reopen).
  tcflush(fd_, TCIFLUSH);
  out_pending_.clear();
  // Pseudo-terminals have no modem lines: nothing to drop there.
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  Ioctl(fd_, TIOCMBIC, &dtr);
  Ioctl(fd_, TIOCMBIC, &rts);
}

void TCommThread::Start(QObject* context, uint32_t readSize) {
  if (fd_ < 0 || thread_.joinable()) return;
  handover_ = std::make_shared<THandover>(context);
  thread_ = std::thread(&TCommThread::Run, this, handover_, readSize == 0 ? 1 : readSize);
}

void TCommThread::StopWaiting() {
  if (!thread_.joinable()) return;
  handover_->Abandon();
  SignalStop(stop_fd_);
  thread_.join();
  handover_.reset();
}

void TCommThread::WriteBytes(const char* data, size_t n) {
  if (fd_ < 0 || n == 0) return;
  out_pending_.append(data, n);
  Flush();
}

void TCommThread::Flush() {
  size_t done = 0;
  while (done < out_pending_.size()) {
    ssize_t w = write(fd_, out_pending_.data() + done, out_pending_.size() - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      // The port is gone; the receive thread reports that.
      done = out_pending_.size();
    }
  }
  out_pending_.erase(0, done);
  if (out_pending_.empty()) {
    write_notifier_.setEnabled(false);
  } else if (!write_notifier_.isEnabled()) {
    write_notifier_.setSocket(fd_);
    write_notifier_.setEnabled(true);
  }
}

void TCommThread::Run(std::shared_ptr<THandover> handover, uint32_t readSize) {
  std::string buf(readSize, '\0');
  int lines = ModemLines(fd_);
  long long errors = LineErrorCount(fd_);
  const int timeout = lines >= 0 ? kModemPollMs : -1;
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    int r = poll(fds, 2, timeout);
    if (r < 0 && errno == EINTR) continue;
    if (fds[1].revents) return;
    // Why the port is gone: an errno value, or kHungUp.
    int lost = r < 0 ? errno : 0;
    std::string data;
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(fd_, buf.data(), buf.size());
      if (n > 0) {
        data.assign(buf.data(), static_cast<size_t>(n));
      } else if (n == 0) {
        lost = kHungUp;  // a hung-up terminal reads as end of file: the adapter was unplugged
      } else if (errno != EAGAIN && errno != EINTR) {
        lost = errno;
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      lost = kHungUp;
    }
    const bool gone = lost != 0;

    uint32_t mask = 0;
    if (lines >= 0) {
      int now = ModemLines(fd_);
      if (now >= 0) {
        int changed = now ^ lines;
        if (changed & TIOCM_CTS) mask |= EV_CTS;
        if (changed & TIOCM_DSR) mask |= EV_DSR;
        if (changed & TIOCM_CD) mask |= EV_RLSD;
        if (changed & TIOCM_RNG) mask |= EV_RING;
        lines = now;
      }
    }
    if (errors >= 0) {
      long long now = LineErrorCount(fd_);
      if (now > errors) mask |= EV_ERR;
      if (now >= 0) errors = now;
    }
    if (gone) mask |= EV_ERR;
    if (!data.empty()) mask |= EV_RXCHAR;
    if (mask == 0) continue;

    const uint32_t status = ModemStatus(lines);
    bool handled = handover->Deliver([this, data = std::move(data), mask, status, lost] {
      HandleCommEvent(data, mask, status, lost);
    });
    if (!handled || gone) return;
  }
}

void TCommThread::HandleCommEvent(const std::string& data, uint32_t mask, uint32_t modemStatus,
                                  int lost) {
  if (lost != 0) lost_reason_ = lost == kHungUp ? "hung up" : SysErrorText(lost);
  if (mask & EV_RXCHAR) {
    // The receiver may close the port, which destroys this object and its callbacks: call a copy
    // and touch nothing of ours afterwards unless we are still alive.
    const std::shared_ptr<bool> alive = alive_;
    if (const TDataCallback deliver = DataCallback) deliver(data);
    if (!*alive) return;
    mask &= ~EV_RXCHAR;
  }
  if (mask == 0) return;
  if (const TStatusCallback report = StatusCallback) report(mask, modemStatus);
}

// ---------------------------------------------------------------------------------------------
// TComPort

TComPort::~TComPort() {
  Close();
}

std::string TComPort::DevicePath() const {
  return Device.empty() ? DefaultComDevice(Port) : Device;
}

const std::string& TComPort::LostReason() const {
  static const std::string kNone;
  return thread_ ? thread_->LostReason() : kNone;
}

bool TComPort::Open(std::string& error, int& code) {
  code = 0;
  if (opened_) return true;
  const std::string path = DevicePath();
  auto thread = std::make_unique<TCommThread>(path);
  // A device path named by itself has no COM slot to name.
  const std::string prefix = "TCOMPORT : cannot open " + Excerpt(Port) +
                             (path == Port ? "" : " (" + Excerpt(path) + ")") + "\r";
  if (!thread->IsOpen()) {
    code = thread->OpenError();
    error = prefix + SysErrorText(code);
    return false;
  }
  thread->DataCallback = [this](const std::string& data) { DataArrived(data); };
  thread->StatusCallback = [this](uint32_t mask, uint32_t status) { LineStatus(mask, status); };
  if (int err = thread->SetLine(baud_, DataBits, Parity, StopBits)) {
    code = err;
    error = err == EINVAL ? prefix + "the port does not accept " + std::to_string(baud_) +
                                " baud, " + std::to_string(DataBits) + " data bits, parity " +
                                std::to_string(Parity) + ", stop bits " + std::to_string(StopBits)
                          : prefix + SysErrorText(err);
    return false;
  }
  thread_ = std::move(thread);
  opened_ = true;
  thread_->Start(&context_, WinQSizeIn);
  if (OnPortOpen) OnPortOpen(*this);
  return true;
}

void TComPort::Close() {
  if (!opened_) return;
  thread_->StopWaiting();
  thread_.reset();
  opened_ = false;
  // A partial message of this session must not prefix the first one of the next.
  RxPending.clear();
  if (OnPortClose) OnPortClose(*this);
}

void TComPort::WriteString(const std::string& data) {
  if (opened_) thread_->WriteBytes(data.data(), data.size());
}

bool TComPort::SetBaud(uint32_t baud, std::string& error) {
  baud_ = baud;
  if (!opened_) return true;
  if (int err = thread_->SetLine(baud_, DataBits, Parity, StopBits)) {
    error = "TCOMPORT : cannot set " + std::to_string(baud) + " baud on " + Excerpt(Port) + "\r" +
            SysErrorText(err);
    return false;
  }
  return true;
}

std::string TComPort::GetTerminator() const {
  std::string text;
  for (unsigned char c : terminator_) text += "#" + std::to_string(c);
  return text;
}

bool TComPort::SetTerminator(const std::string& text, std::string& error) {
  terminator_.clear();
  // The first character stands for the leading "#", whatever it is.
  std::string rest = text.empty() ? text : text.substr(1);
  while (!rest.empty()) {
    size_t hash = rest.find('#');
    std::string part = rest.substr(0, hash);
    rest = hash == std::string::npos ? std::string() : rest.substr(hash + 1);
    std::optional<int64_t> code = StrToInt(part);
    if (!code) {
      terminator_ = "\r\n";
      error =
          "Illegal terminator string.\rformat : #<asciicode>#<asciicode>#<...>\rexample: #13#10";
      return false;
    }
    terminator_ += static_cast<char>(static_cast<uint8_t>(*code & 0xFF));
  }
  if (terminator_.empty()) {
    // An empty terminator would match everywhere and deliver empty messages forever.
    terminator_ = "\r\n";
    error = "Terminator string cannot be empty!";
    return false;
  }
  return true;
}

void TComPort::DataArrived(const std::string& data) {
  if (!opened_ || !ReceiveCallBack) return;
  if (ReceiveMode == rmRAW) {
    ReceiveCallBack(data);
    return;
  }
  RxPending += data;
  size_t at = RxPending.find(terminator_);
  if (at == std::string::npos) return;
  // One message per arrival; a second one waits for the next bytes.
  std::string message = RxPending.substr(0, at + terminator_.size());
  RxPending.erase(0, message.size());
  ReceiveCallBack(message);
}

void TComPort::LineStatus(uint32_t mask, uint32_t modemStatus) {
  // The status argument is true while the line is off.
  if ((mask & EV_CTS) && OnCTSChanged) OnCTSChanged(!(modemStatus & MS_CTS_ON));
  if ((mask & EV_DSR) && OnDSRChanged) OnDSRChanged(!(modemStatus & MS_DSR_ON));
  if ((mask & EV_RLSD) && OnRLSDChanged) OnRLSDChanged(!(modemStatus & MS_RLSD_ON));
  if ((mask & EV_RING) && OnRingChanged) OnRingChanged(!(modemStatus & MS_RING_ON));
  if ((mask & EV_ERR) && OnError) OnError(*this);
}
