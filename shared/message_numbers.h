// Numbers of the messages the control reports to its host; 255 is a trace
// line that only the debug console shows.
#pragma once

#include <cstdint>

enum MessageNumber : int32_t {
  MsgVideoConnected = 16,
  MsgVideoDisconnected = 17,
  MsgVideoError = 18,
  MsgAudioConnected = 19,
  MsgAudioDisconnected = 20,
  MsgAudioError = 21,
  MsgOverCapacity = 22,
  MsgInvalidStream = 23,
  MsgLoginAdmin = 32,
  MsgLoginUser = 33,
  MsgBadCredentials = 34,
  MsgAdminAlreadyLoggedIn = 35,
  MsgTooManyUsers = 36,
  MsgOverMaxUser = 37,
  MsgLoginFail = 38,
  MsgSioData0 = 48,
  MsgSioData1 = 49,
  MsgGpioChanged = 64,
  MsgMotion = 80,
  MsgValue = 81,
  MsgAudioReset = 82,
  MsgVideoShown = 96,
  MsgVideoDisabled = 97,
  MsgVideoEnabled = 98,
  MsgLocalVideoOff = 99,
  MsgLocalVideoOn = 100,
  MsgCameraText = 240,
  MsgTrace = 255,
};
