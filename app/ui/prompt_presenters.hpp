#pragma once
// What the review and other-apps prompters show: an application-modal dialog offering the
// store's review page or the maker's developer page. Each answers whether it showed.
#include "app/shell/prompt_frameworks.hpp"

#include <string>

namespace gw {

PromptPresenter makeOtherAppsPresenter(std::string developerPageURL);
PromptPresenter makeReviewPresenter(std::string reviewPageURL);

}  // namespace gw
