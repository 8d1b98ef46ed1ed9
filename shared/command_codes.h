// Work requests posted into the link object's command queue, 4 bytes each.
#pragma once

#include <cstdint>

enum CommandCode : int32_t {
  CmdConnectVideo = 1,
  CmdConnectAudio = 2,
  CmdVideoConnected = 3,
  CmdAudioConnected = 4,
  CmdDisconnectVideo = 5,
  CmdDisconnectAudio = 6,
  CmdVideoClosed = 7,
  CmdAudioClosed = 8,
  CmdSetEncoderFlash = 9,
  CmdSetEncoderNoFlash = 10,
  CmdSendGpio = 11,
  CmdSelectChannel = 12,
  CmdSwitchUser = 13,
  CmdStartRecording = 14,
  CmdStopRecording = 15,
  CmdVideoError = 16,
  CmdAudioError = 17,
};
