#include "app/difference.h"

#include "compare/pair.h"
#include "platform/platform.h"

namespace diffmark {

int RunDifference() {
  PairRequest request;
  request.base = kBaseImageName;
  request.other = kOtherImageName;
  request.reading = PairReading::RawRows;
  request.output.path = kResultImageName;
  request.output.inPlace = true;
  const PairResult result = ComparePair(request, CompareOptions{});
  if (!result.baseError.empty()) {
    platform::ShowMessage(kMessageBaseMissing, kCaptionNotice, platform::MessageIcon::None);
  } else if (!result.otherError.empty()) {
    platform::ShowMessage(kMessageOtherMissing, kCaptionNotice, platform::MessageIcon::None);
  } else if (!result.outputError.empty()) {
    platform::ShowMessage(kMessageCannotCreate, kCaptionWarning, platform::MessageIcon::Warning);
  }
  return 0;
}

}  // namespace diffmark
