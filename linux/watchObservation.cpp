#include "watchObservation.h"

#include <sys/time.h>

#include "kelSend.h"

WatchObservation WatchObs_LinkState(const std::string &nic, bool up) {
  if (up) return {"kel.net.hynic.linkstate.up", "Physical NIC %s is up", {KelArg::Str(nic)}, false};
  return {"kel.net.hynic.linkstate.down", "Physical NIC %s is down", {KelArg::Str(nic)}, false};
}

WatchObservation WatchObs_PortGroupTransition(const std::string &nic, const std::string &bridge,
                                             bool up, int32_t active) {
  std::vector<KelArg> args{KelArg::Str(nic), KelArg::Str(bridge), KelArg::I32(active),
                           KelArg::I32(0)};
  if (up) {
    return {"kel.net.pg.uplink.transition.up",
            "Uplink %s of port group %s is up: %d active, %d standby", args, false};
  }
  return {"kel.net.pg.uplink.transition.down",
          "Uplink %s of port group %s is down: %d active, %d standby", args, false};
}

WatchObservation WatchObs_MachineCheck(const MachineCheck &mc) {
  return {"kel.cpu.mce.log3",
          "bank %lu status %lx misc %lx synd %lx cpu %lu addr %lx mcg %lx",
          {KelArg::U64(mc.bank), KelArg::U64(mc.status), KelArg::U64(mc.misc), KelArg::U64(0),
           KelArg::U64(mc.cpu), KelArg::U64(mc.addr), KelArg::U64(mc.mcg)},
          false};
}

WatchObservation WatchObs_ClockSync(bool synced) {
  if (synced) {
    return {"kel.clock.correction.adjtime.sync", "synchronised to time servers", {}, false};
  }
  return {"kel.clock.correction.adjtime.unsync", "time server synchronisation lost", {}, false};
}

WatchObservation WatchObs_Ssh(SshKind kind, const std::string &user, const std::string &host) {
  std::vector<KelArg> args{KelArg::Str(user), KelArg::Str(host)};
  switch (kind) {
    case SshKind::Opened:
      return {"kel.user.ssh.session.opened", "SSH session opened for %s@%s", args, true};
    case SshKind::Closed:
      return {"kel.user.ssh.session.closed", "SSH session closed for %s@%s", args, true};
    case SshKind::Failed:
      break;
  }
  return {"kel.user.ssh.session.failed", "SSH login failed for %s@%s", args, true};
}

WatchObservation WatchObs_CoreDumped(const std::string &app, int32_t pid, const std::string &path) {
  return {"kel.uw.core.dumped", "Core dump of %s (pid %d) written to %s",
          {KelArg::Str(app), KelArg::I32(pid), KelArg::Str(path)}, false};
}

WatchObservation WatchObs_CoreDumpFailed(const std::string &app, int32_t pid,
                                         const std::string &dir) {
  return {"kel.uw.core.dumpFailed", "Core dump of %s (pid %d) to %s failed",
          {KelArg::Str(app), KelArg::I32(pid), KelArg::Str(dir)}, false};
}

bool WatchSender::Send(const WatchObservation &obs, std::string *error) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  uint64_t nowUs = static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
  std::vector<uint8_t> record = KelRecord_Build(obs.id, obs.format, obs.args, nowUs);
  if (obs.user) return KelSend_ToUser(record.data(), record.size(), error);
  return KelSend_ToKernel(ctx_, record.data(), record.size(), error);
}

void WatchOutbox::Add(std::vector<WatchObservation> *observations) {
  for (WatchObservation &obs : *observations) {
    if (held_.size() >= limit_) {
      held_.pop_front();
      if (dropped_++ == 0) log_("too many observations held for keld: dropping the oldest");
    }
    held_.push_back(std::move(obs));
  }
  observations->clear();
  Flush();
}

void WatchOutbox::Flush() {
  while (!held_.empty()) {
    std::string error;
    const WatchObservation &obs = held_.front();
    if (!sender_.Send(obs, &error)) {
      if (!unreachable_) log_("keld not reachable (" + error + "): holding observations");
      unreachable_ = true;
      return;
    }
    if (unreachable_) log_("keld reachable again");
    unreachable_ = false;
    dropped_ = 0;
    bool named = !obs.args.empty() && obs.args[0].kind == KelArg::Kind::Str;
    log_("sent " + obs.id + (named ? " " + obs.args[0].s : ""));
    held_.pop_front();
  }
}
