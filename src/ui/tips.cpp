#include "ui/tips.h"

Tips::Tips(const std::wstring& faqUrl, const std::wstring& forumUrl) {
  tips_ = {
      L"The setup starts automatically after downloading. You can always start it manually "
      L"by executing the setup executable file.",
      L"You can quit the download manager at any moment. It will resume the download next "
      L"time it starts.",
      L"You may install Velmot on multiple computers. Keep your setup files so you don't need "
      L"to download them again.",
      L"Is your hardware sufficient to run Velmot smoothly? Our FAQ page " + faqUrl +
          L" has information and recommendations.",
      L"Do you have a question? Post it on our support forum " + forumUrl +
          L" where our support staff will help you.",
  };
}

bool Tips::OnStatisticsUpdate(std::wstring& tip) {
  ++calls_;
  if (calls_ % 5 != 0) return false;
  tip = tips_[current_];
  current_ = (current_ + 1) % tips_.size();
  return true;
}
