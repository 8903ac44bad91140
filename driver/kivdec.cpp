// The decoder: download and configuration of the one decoder image when the
// MPEG input stream starts, the decoder start when the first data packet
// announces its format, and the stop when the input stream stops.
//
// The codec holds either the encoder or the decoder image, so CodecState,
// LoadedImageKind and LoadedImage are shared with the encoder. Unlike the
// encoder sequences, every decoder sequence ends at the first step that
// returns anything but STATUS_SUCCESS.
#include "kivdec.h"
#include "kivchip.h"
#include "kivenc.h"

namespace {

// The path buffer of the decoder image download, in bytes.
const ULONG DecImagePathBytes = 520;

// Decoder channel set-up after the download: one command 0x0003 per line,
// in the order the decoder takes them.
struct DecChannelSetup {
  ULONG Channel;  // channel number of the command
  ULONG Value;    // its one argument word
};

const DecChannelSetup DecChannels[] = {
    {0x0E, 0x0000001Cu},
    {0x02, 0xFFFFFFFFu},
    {0x03, 0xFFFFFFFFu},
};

}  // namespace

// DecNeedsLoad: FALSE only when the decoder image is in the codec and the
// codec was not reset since. Any IRQL.
BOOLEAN DecNeedsLoad(DeviceContext* Device) {
  if (Device->LoadedImageKind == ImageKindDecoder && Device->LoadedImage == ImageDecoder &&
      Device->CodecState != CodecUnloaded) {
    return FALSE;
  }
  return TRUE;
}

// DecLoad: downloads the decoder image and configures it. Returns the first
// status other than STATUS_SUCCESS, else STATUS_SUCCESS with CodecReady and
// a decoder image recorded. CodecState is CodecUnloaded from the start, so a
// failure leaves it so. PASSIVE_LEVEL, no lock.
NTSTATUS DecLoad(DeviceContext* Device) {
  Device->CodecState = CodecUnloaded;
  NTSTATUS status = VendorBeginMicrocodeLoad(Device);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = DecLoadImage(Device);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  Device->LoadedImage = ImageDecoder;
  status = VendorFinishMicrocodeLoad(Device);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = VendorInitDecoder(Device);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = DecConfigure(Device);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  Device->LoadedImageKind = ImageKindDecoder;
  Device->CodecState = CodecReady;
  return STATUS_SUCCESS;
}

// DecLoadImage: downloads the image that "MpegDecoderMicrocode" names, else
// the built-in decoder.ux. Returns MicrocodeLoadImage's status, or
// STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL, no lock.
NTSTATUS DecLoadImage(DeviceContext* Device) {
  return CodecLoadImage(Device, L"MpegDecoderMicrocode",
                        L"\\systemroot\\SYSTEM32\\DRIVERS\\decoder.ux", DecImagePathBytes);
}

// DecConfigure: the channel set-up messages after the download, ending at
// the first status other than STATUS_SUCCESS; returns the last status.
// PASSIVE_LEVEL, no lock.
NTSTATUS DecConfigure(DeviceContext* Device) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < sizeof(DecChannels) / sizeof(DecChannels[0]); ++i) {
    status = DecMsg0003(Device, DecChannels[i].Channel, DecChannels[i].Value);
    if (status != STATUS_SUCCESS) {
      return status;
    }
  }
  return status;
}

// DecStart: in CodecReady the decoder start command and the output, audio
// and start messages (the output message tells a 50-Hz source from NTSC-M);
// success leaves CodecRunning, a failure CodecReady. A decoder already
// running is left alone: nothing is sent, STATUS_SUCCESS. In CodecUnloaded
// nothing is sent: STATUS_UNSUCCESSFUL. PASSIVE_LEVEL, no lock.
NTSTATUS DecStart(DeviceContext* Device) {
  if (Device->CodecState == CodecRunning) {
    return STATUS_SUCCESS;
  }
  if (Device->CodecState != CodecReady) {
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS (*const steps[])(DeviceContext*) = {
      VendorStartDecoder, DecMsg0090, DecMsgAudio, DecMsg0093, DecMsg0098,
  };
  for (ULONG i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    const NTSTATUS status = steps[i](Device);
    if (status != STATUS_SUCCESS) {
      return status;
    }
  }
  Device->CodecState = CodecRunning;
  return STATUS_SUCCESS;
}

// DecStop: in CodecRunning the stop messages; a failure of the first or the
// last is returned with CodecRunning kept, the middle one's is not looked at.
// Every other case ends in CodecReady with STATUS_SUCCESS; in states other
// than CodecRunning nothing is sent. PASSIVE_LEVEL, no lock.
NTSTATUS DecStop(DeviceContext* Device) {
  if (Device->CodecState == CodecRunning) {
    NTSTATUS status = DecMsg009E(Device);
    if (status != STATUS_SUCCESS) {
      return status;
    }
    (void)DecMsg009FPair(Device);  // not looked at
    status = DecMsg009F(Device);
    if (status != STATUS_SUCCESS) {
      return status;
    }
  }
  Device->CodecState = CodecReady;
  return STATUS_SUCCESS;
}
