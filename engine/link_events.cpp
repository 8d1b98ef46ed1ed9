#include "engine/link_events.h"

#include <string>

#include "shared/command_codes.h"
#include "shared/message_numbers.h"

LinkEvents::LinkEvents(CNetManage& l) : link(l), readBuf(new uint8_t[kVideoReadSize]) {}

platform::SocketHandlers LinkEvents::VideoHandlers() {
  platform::SocketHandlers h;
  h.onConnect = [this](platform::ClientSocket& s) { VidSockConnect(s); };
  h.onDisconnect = [this](platform::ClientSocket& s) { VidSockDisconnect(s); };
  h.onRead = [this](platform::ClientSocket& s) { VidSockRead(s); };
  h.onError = [this](platform::ClientSocket& s, int& code) { VidSockError(s, code); };
  return h;
}

platform::SocketHandlers LinkEvents::AudioHandlers() {
  platform::SocketHandlers h;
  h.onConnect = [this](platform::ClientSocket& s) { AudSockConnect(s); };
  h.onDisconnect = [this](platform::ClientSocket& s) { AudSockDisconnect(s); };
  h.onRead = [this](platform::ClientSocket& s) { AudSockRead(s); };
  h.onError = [this](platform::ClientSocket& s, int& code) { AudSockError(s, code); };
  return h;
}

void LinkEvents::VidSockConnect(platform::ClientSocket& socket) {
  socket.SetReceiveBufferSize(kVideoReceiveBuffer);
  link.vidconnected = 1;
  link.PostCommand(CmdVideoConnected);
  link.vidConnecting = 0;
}

void LinkEvents::VidSockDisconnect(platform::ClientSocket&) {
  link.vidconnected = 0;
  link.videoState = 0;
  link.DropLogin();
  link.PostCommand(CmdVideoClosed);
  link.vidConnecting = 0;
}

void LinkEvents::VidSockError(platform::ClientSocket& socket, int& code) {
  link.vidSockError = code;
  link.vidconnected = 0;
  link.videoState = 0;
  link.DropLogin();
  link.PostCommand(CmdVideoError);
  code = 0;
  socket.Close();
  link.vidConnecting = 0;
}

void LinkEvents::AudSockConnect(platform::ClientSocket&) {
  link.PostCommand(CmdAudioConnected);
  link.audconnected = 1;
  link.audConnecting = 0;
}

void LinkEvents::AudSockDisconnect(platform::ClientSocket&) {
  link.audio->ResetAudio();
  link.audconnected = 0;
  link.audioState = 0;
  link.PostCommand(CmdAudioClosed);
  link.audConnecting = 0;
}

void LinkEvents::AudSockError(platform::ClientSocket& socket, int& code) {
  link.audSockError = code;
  link.audio->ResetAudio();
  code = 0;
  link.audconnected = 0;
  link.audioState = 0;
  link.PostCommand(CmdAudioError);
  socket.Close();
  link.audConnecting = 0;
}

void LinkEvents::VidSockRead(platform::ClientSocket& socket) {
  Receive(socket, kVideoReadSize, link.vidRing, link.videoBitsThisSecond, link.vidconnected != 0);
}

void LinkEvents::AudSockRead(platform::ClientSocket& socket) {
  Receive(socket, kAudioReadSize, link.audRing, link.audioBitsThisSecond, link.audconnected != 0);
}

void LinkEvents::Receive(platform::ClientSocket& socket, int maxBytes, CManage1DBUF& ring,
                         std::atomic<uint32_t>& bits, bool ownConnected) {
  const int n = socket.ReceiveBuf(readBuf.get(), maxBytes);
  if (n <= 0) return;  // a single byte is data like any other
  if (!ring.PutBytes(readBuf.get(), static_cast<uint32_t>(n))) {
    refusedBytes_ += static_cast<uint64_t>(n);
    if (link.vidconnected != 0 || ownConnected) {
      OverCapacity();
    } else {
      // The episode was reported when it began; say what is lost since.
      link.passMessage(MsgTrace, "over capacity: " + std::to_string(n) + " bytes dropped");
    }
  }
  bits += 8u * static_cast<uint32_t>(n);
}

void LinkEvents::OverCapacity() {
  const bool videoUp = link.vidconnected != 0;
  link.vidconnected = 0;
  link.audconnected = 0;
  link.PostCommand(CmdDisconnectAudio);
  if (videoUp) link.PostCommand(CmdDisconnectVideo);
  CNetManage* l = &link;
  link.StartReportThread([l] { ReportOverCapacity(l->passMessage); }, "over-capacity report");
}

int LinkEvents::ReportOverCapacity(const MessageClosure& passMessage) {
  passMessage(MsgOverCapacity, "over capacity");
  return 1;
}

void LinkEvents::StatisticTimer() {
  CNetManage& l = link;
  // 1. Give up a connection attempt nobody answers.
  if (l.vidConnecting == 1) {
    const int32_t waited = l.connectWaitSeconds.fetch_add(1);
    if (waited == 30) {
      l.vidConnecting = 0;
      l.audConnecting = 0;
    }
  }
  // 2. Roll the second over.
  l.talkKbps = l.talkBitsThisSecond.exchange(0) / 1000;
  l.frmrate = l.framesThisSecond.exchange(0);
  l.avbitrate = static_cast<int32_t>(l.videoBitsThisSecond.exchange(0) >> 10);
  l.audbitrate = static_cast<int32_t>(l.audioBitsThisSecond.exchange(0) >> 10);
  if (l.video) l.video->frameRate = static_cast<uint32_t>(l.frmrate.load());
  // 3. Silence: fewer than 1024 bits in the second.
  if (l.vidconnected != 0 && l.avbitrate == 0) ++l.secondsWithoutVideo;
  else l.secondsWithoutVideo = 0;
  if (l.audconnected != 0 && l.audbitrate == 0) ++l.secondsWithoutAudio;
  else l.secondsWithoutAudio = 0;
  // 4. Watchdogs.
  if (l.secondsWithoutVideo == 30) {
    l.PostCommand(CmdDisconnectAudio);
    l.PostCommand(CmdDisconnectVideo);
  }
  if (l.secondsWithoutAudio == 3 && l.audio) l.audio->ResetAudio();
  if (l.secondsWithoutAudio == 30) l.PostCommand(CmdDisconnectAudio);
  if (l.vidconnected != 0) {
    l.secondsAudioOnly = 0;
  } else if (l.audconnected != 0) {
    if (l.secondsAudioOnly.fetch_add(1) >= 5) l.PostCommand(CmdDisconnectAudio);
  } else {
    l.secondsAudioOnly = 0;
  }
}

std::unique_ptr<LinkEvents> WireLink(CNetManage& link, platform::ClientSocket& vidSock, platform::ClientSocket& audSock,
                                     VideoPeer& video, AudioPeer& audio, SharedAudioArea& area) {
  auto events = std::make_unique<LinkEvents>(link);
  link.vidSock = &vidSock;
  link.audSock = &audSock;
  link.video = &video;
  link.audio = &audio;
  for (int i = 0; i < kTalkSlotCount; ++i) audio.talkSlots[i] = &area.slots[i];
  audio.writeSlotRef = &area.writeSlot;
  vidSock.SetHandlers(events->VideoHandlers());
  audSock.SetHandlers(events->AudioHandlers());
  return events;
}

void JoinTalkArea(CNetManage& link, SharedAudioArea& area) {
  link.showStatusRef = &area.showStatus;
  link.heartbeatRef = &area.heartbeat;
  std::atomic_ref<uint16_t>(area.heartbeat).fetch_add(1);
}
