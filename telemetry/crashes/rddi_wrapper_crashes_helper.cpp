#include "telemetry/crashes/rddi_wrapper_crashes_helper.hpp"

namespace rddi {

std::shared_ptr<RDDIWrapperCrashesHelper> RDDIWrapperCrashesHelper::sharedInstance() {
    static const auto shared = std::make_shared<RDDIWrapperCrashesHelper>();
    return shared;
}

void RDDIWrapperCrashesHelper::setCrashHandlerSetupDelegate(const std::shared_ptr<RDDICrashHandlerSetupDelegate>& delegate) {
    auto helper = sharedInstance();
    std::lock_guard lock(helper->lock_);
    helper->crashHandlerSetupDelegate_ = delegate;
}

std::shared_ptr<RDDICrashHandlerSetupDelegate> RDDIWrapperCrashesHelper::crashHandlerSetupDelegate() {
    auto helper = sharedInstance();
    std::lock_guard lock(helper->lock_);
    return helper->crashHandlerSetupDelegate_.lock();
}

std::shared_ptr<RDDICrashHandlerSetupDelegate> RDDIWrapperCrashesHelper::getCrashHandlerSetupDelegate() {
    return crashHandlerSetupDelegate();
}

void RDDIWrapperCrashesHelper::setAutomaticProcessing(bool automaticProcessing) {
    RDDICrashes::sharedInstance()->setAutomaticProcessingEnabled(automaticProcessing);
}

bool RDDIWrapperCrashesHelper::automaticProcessing() {
    return RDDICrashes::sharedInstance()->isAutomaticProcessingEnabled();
}

std::vector<std::shared_ptr<RDDIErrorReport>> RDDIWrapperCrashesHelper::unprocessedCrashReports() {
    return RDDICrashes::sharedInstance()->unprocessedCrashReports();
}

bool RDDIWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& ids) {
    return RDDICrashes::sharedInstance()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(ids);
}

void RDDIWrapperCrashesHelper::sendErrorAttachments(const std::vector<std::shared_ptr<RDDIErrorAttachmentLog>>& attachments,
                                                    const std::string& incidentIdentifier) {
    RDDICrashes::sharedInstance()->sendErrorAttachments(attachments, incidentIdentifier);
}

std::shared_ptr<RDDIErrorReport> RDDIWrapperCrashesHelper::buildHandledErrorReportWithErrorID(const std::string& errorId) {
    return RDDICrashes::sharedInstance()->buildHandledErrorReportWithErrorID(errorId);
}

}  // namespace rddi
