// The form's side of the link: the eight socket handlers, which run on the
// link thread (it opened the sockets) and turn socket events into bytes in
// the receive rings and command codes in the command queue, and the link
// steps of the once-a-second statistics timer (host thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/audio_peer.h"
#include "engine/net_manage.h"
#include "engine/video_peer.h"
#include "platform/socket.h"
#include "shared/shared_audio_area.h"

class LinkEvents {
 public:
  static constexpr int kVideoReadSize = 80000;
  static constexpr int kAudioReadSize = 20000;
  static constexpr int kVideoReceiveBuffer = 400000;

  explicit LinkEvents(CNetManage& link);

  // Handlers bound to this object, for ClientSocket::SetHandlers.
  platform::SocketHandlers VideoHandlers();
  platform::SocketHandlers AudioHandlers();

  void VidSockConnect(platform::ClientSocket& socket);
  void VidSockDisconnect(platform::ClientSocket& socket);
  void VidSockError(platform::ClientSocket& socket, int& code);
  void VidSockRead(platform::ClientSocket& socket);
  void AudSockConnect(platform::ClientSocket& socket);
  void AudSockDisconnect(platform::ClientSocket& socket);
  void AudSockError(platform::ClientSocket& socket, int& code);
  void AudSockRead(platform::ClientSocket& socket);

  // Connect time-out, roll-over of the second, silence counts and watchdogs.
  void StatisticTimer();

  // Raises 22 "over capacity"; returns 1.
  static int ReportOverCapacity(const MessageClosure& passMessage);

  // Bytes the rings refused since the link was wired.
  uint64_t RefusedBytes() const { return refusedBytes_.load(); }

 private:
  void Receive(platform::ClientSocket& socket, int maxBytes, CManage1DBUF& ring,
               std::atomic<uint32_t>& bits, bool ownConnected);
  void OverCapacity();

  CNetManage& link;
  std::unique_ptr<uint8_t[]> readBuf;
  std::atomic<uint64_t> refusedBytes_{0};
};

// The form's wiring of a link, in one place for the form and for hosts that
// stand in for it: the link gets its sockets and peers, the audio peer the
// talk slots of the area, the sockets the returned handlers. Start the
// link's thread, then the peers', then call JoinTalkArea.
std::unique_ptr<LinkEvents> WireLink(CNetManage& link, platform::ClientSocket& vidSock, platform::ClientSocket& audSock,
                                     VideoPeer& video, AudioPeer& audio, SharedAudioArea& area);
// Points the link at the area's status switch and heartbeat, and beats once.
void JoinTalkArea(CNetManage& link, SharedAudioArea& area);
