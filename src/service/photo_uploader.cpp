#include "service/photo_uploader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "utils/logger.h"
#include "utils/unique_fd.h"

namespace {

using AddEvent = Event<0, CardPhoto, bool>;
using RemoveEvent = Event<1, CardPhoto>;
using MovedEvent = Event<2, CardPhoto, CardPhoto>;
using NotMovedEvent = Event<3, CardPhoto, std::string>;
using DrainEvent = Event<4>;
using FinishEvent = Event<5>;

// How often one photo may lose its name to another device's claim before it is set aside
// (a bound, should claims keep failing for a reason the server does not say).
constexpr int kMaxClaimsLost = 3;

}  // namespace

DeliveryQueue::Settings PhotoUploader::WithWake(DeliveryQueue::Settings settings, PhotoUploader* self) {
    settings.arm = [self](int64_t delayMs) { self->ArmWake(delayMs); };
    return settings;
}

PhotoUploader::PhotoUploader(const std::string& name, std::shared_ptr<Thread> parent, Settings settings,
                             CardSide card, MakeDelivery makeDelivery)
    : Thread(name, std::move(parent)),
      settings_(std::move(settings)),
      card_(std::move(card)),
      makeDelivery_(std::move(makeDelivery)),
      queue_(WithWake(settings_.queue, this)) {}

PhotoUploader::~PhotoUploader() = default;

void PhotoUploader::Add(const CardPhoto& photo, bool fresh) { post(std::make_shared<AddEvent>(photo, fresh)); }
void PhotoUploader::Remove(const CardPhoto& photo) { post(std::make_shared<RemoveEvent>(photo)); }
void PhotoUploader::Moved(const CardPhoto& from, const CardPhoto& to) {
    post(std::make_shared<MovedEvent>(from, to));
}
void PhotoUploader::NotMoved(const CardPhoto& photo, const std::string& reason) {
    post(std::make_shared<NotMovedEvent>(photo, reason));
}

void PhotoUploader::Finish(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    // At once: a transfer running now sees it through its progress handler.
    queue_.SetDeadline(queue_.Now() + std::max<int64_t>(1, left.count()));
    post(std::make_shared<FinishEvent>());
}

void PhotoUploader::onInit() {
    Thread::onInit();
    const std::function<bool()> keepGoing = [this]() {
        if (settings_.keepAlive) settings_.keepAlive();
        return !PastDeadline();
    };
    DeliveryHooks hooks;
    hooks.pastDeadline = [this]() { return PastDeadline(); };
    hooks.recordClaim = [this](const CardPhoto& photo) {
        const bool recorded = card_.recordClaim && card_.recordClaim(photo);
        if (recorded) queue_.MarkClaimed(photo.relative);
        return recorded;
    };
    hooks.sleep = [this](std::chrono::milliseconds wait) {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < until && !PastDeadline()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    };
    if (makeDelivery_) delivery_ = makeDelivery_(hooks, keepGoing);
    if (!delivery_) {
        delivery_ = std::make_unique<PhotoDelivery>(MakePhotoServer(settings_.account, keepGoing), settings_.delivery,
                                                    hooks);
    }

    // The timer's firing threads may outlive this object; they hold it only weakly.
    std::weak_ptr<Thread> self = shared_from_this();
    wakeTimer_ = std::make_unique<Timer>([self]() {
        if (auto uploader = self.lock()) uploader->post(std::make_shared<DrainEvent>());
    });
    setEventHandler<AddEvent>([this](std::shared_ptr<AddEvent> event) {
        queue_.Add(event->get<0>(), event->get<1>());
        Report();
        QueueDrain();
    });
    setEventHandler<RemoveEvent>([this](std::shared_ptr<RemoveEvent> event) {
        queue_.Remove(event->get<0>().relative);
        claimsLost_.erase(event->get<0>().relative);
        Report();
    });
    setEventHandler<MovedEvent>([this](std::shared_ptr<MovedEvent> event) {
        const std::string& from = event->get<0>().relative;
        queue_.Rename(from, event->get<1>());
        auto lost = claimsLost_.find(from);
        if (lost != claimsLost_.end()) {
            claimsLost_[event->get<1>().relative] = lost->second;
            claimsLost_.erase(from);
        }
        Report();  // the photo's new second may be the oldest waiting
        QueueDrain();
    });
    setEventHandler<NotMovedEvent>([this](std::shared_ptr<NotMovedEvent> event) {
        queue_.Rename(event->get<0>().relative, event->get<0>());  // released again
        queue_.Settle(event->get<0>(), DeliveryOutcome::Refused, event->get<1>());
        Report();  // set aside: when it was the last photo to go, nothing else would say so
        QueueDrain();
    });
    setEventHandler<DrainEvent>([this](std::shared_ptr<DrainEvent>) { OnDrain(); });
    setEventHandler<FinishEvent>([this](std::shared_ptr<FinishEvent>) {
        finishing_ = true;
        OnDrain();
    });
}

void PhotoUploader::onExit() {
    if (wakeTimer_) {
        wakeTimer_->setEnabled(false);
        wakeTimer_.reset();
    }
    if (delivery_) delivery_->Close();
    Thread::onExit();
}

void PhotoUploader::QueueDrain() {
    if (drainQueued_) return;
    drainQueued_ = true;
    post(std::make_shared<DrainEvent>());
}

void PhotoUploader::OnDrain() {
    drainQueued_ = false;
    std::optional<CardPhoto> next = queue_.Next();
    while (next) {
        const DeliveryOutcome outcome = DeliverOne(*next);
        if (outcome == DeliveryOutcome::ServerDown || outcome == DeliveryOutcome::Aborted) break;
        if (!finishing_) {
            // Behind whatever was posted meanwhile: fresh photos are not held up by the backlog.
            QueueDrain();
            return;
        }
        next = queue_.Next();
    }
    // Nothing can go now: no session is held while the queue waits.
    delivery_->Close();
    if (!queue_.PastDeadline() && queue_.size() > 0) {
        const std::optional<CardPhoto> due = queue_.Next();  // arms the wake-up
        if (due) QueueDrain();
    }
    if (finishing_ && (queue_.PastDeadline() || (!queue_.Next() && !queue_.Holding()))) {
        if (wakeTimer_) wakeTimer_->setEnabled(false);
        queue_.Save();
        if (queue_.size() > 0) LOG_INFO << queue_.size() << " photos stay pending for the next run.";
        if (card_.finished) card_.finished();
        stop();
    }
}

void PhotoUploader::Report() {
    if (!settings_.report) return;
    const DeliveryFigures figures = queue_.Figures();
    if (reportedOnce_ && figures == reported_) return;
    reportedOnce_ = true;
    reported_ = figures;
    settings_.report(figures, lastDelivery_);
}

void PhotoUploader::ArmWake(int64_t delayMs) {
    if (!wakeTimer_) return;
    wakeTimer_->setEnabled(false);
    if (delayMs < 0) return;
    wakeTimer_->setInterval(std::chrono::seconds(std::max<int64_t>(1, (delayMs + 999) / 1000)));
    wakeTimer_->setEnabled(true);
}

DeliveryOutcome PhotoUploader::DeliverOne(const CardPhoto& photo) {
    const std::string local = settings_.photoRoot + "/" + photo.relative;
    // Never through a link, never anything but a regular file: the card is removable and
    // anyone may have put anything under a photo's name. Non-blocking: a FIFO must not hang us.
    UniqueFd fd(::open(local.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int openError = errno;
    struct stat info {};
    DeliveryOutcome outcome = DeliveryOutcome::Gone;
    std::string reason;
    if (!fd.valid() && openError == ENOENT) {
        LOG_WARN << "Photo " << local << " is no longer on the card; it is not uploaded.";
        if (card_.gone) card_.gone(photo);
    } else if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        if (!fd.valid() && openError != ELOOP) {
            outcome = DeliveryOutcome::Refused;
            reason = std::string("cannot read it from the card: ") + std::strerror(openError);
        } else {
            // Left where it is, its record too: only its owner knows what it is.
            LOG_WARN << "Not a photo but " << (fd.valid() ? "something else" : "a link") << " under the name "
                     << local << ": left alone, never sent.";
        }
    } else {
        const DeliveryResult result = delivery_->Deliver(photo, fd.get(), static_cast<int64_t>(info.st_size));
        outcome = result.outcome;
        reason = result.reason;
        LOG_DEBUG << "Upload FTP Photo " << local << " status: " << (outcome == DeliveryOutcome::Delivered ? 1 : 0);
        if (outcome == DeliveryOutcome::NameTaken && result.claimLost && ++claimsLost_[photo.relative] > kMaxClaimsLost) {
            outcome = DeliveryOutcome::Refused;
            reason = "the server refuses every name claimed for it (" + reason + ")";
        }
    }
    fd.reset();
    if (reason.empty()) reason = "no reason given by the FTP client";
    if (PastDeadline() && outcome != DeliveryOutcome::Delivered) reason = "shutting down; " + reason;
    switch (outcome) {
    case DeliveryOutcome::Delivered:
        claimsLost_.erase(photo.relative);
        if (card_.delivered) card_.delivered(photo);
        break;
    case DeliveryOutcome::NameTaken:
        if (card_.moveOn) card_.moveOn(photo, reason);
        break;
    case DeliveryOutcome::Refused:
        LOG_WARN << "Upload of photo " << local << " failed (" << reason
                 << "); the server refuses this photo: it is set aside and the others go on.";
        break;
    case DeliveryOutcome::Aborted:
        LOG_WARN << "Upload of photo " << local << " failed (" << reason << "); it stays pending and is tried again later.";
        break;
    case DeliveryOutcome::ServerDown:
        // The outage itself is the queue's WARN, once.
        LOG_DEBUG << "Upload of photo " << local << " failed (" << reason << "); it stays pending and is tried again later.";
        break;
    default:
        break;
    }
    if (outcome == DeliveryOutcome::Delivered && settings_.wallClock) lastDelivery_ = settings_.wallClock();
    queue_.Settle(photo, outcome, reason);
    Report();
    if (outcome == DeliveryOutcome::Gone || outcome == DeliveryOutcome::Delivered) claimsLost_.erase(photo.relative);
    return outcome;
}
