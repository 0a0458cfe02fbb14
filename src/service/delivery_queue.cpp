#include "service/delivery_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "utils/logger.h"
#include "utils/unique_fd.h"

namespace {

constexpr const char* kStateHeader = "k5cam-delivery 1";
// While an outage lasts, its WARN is repeated at most this often.
constexpr int64_t kWarnEveryMs = 10 * 60 * 1000;

int64_t BootMs() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

DeliveryQueue::Settings WithDefaults(DeliveryQueue::Settings settings) {
    if (!settings.clock) settings.clock = BootMs;
    if (!settings.arm) settings.arm = [](int64_t) {};
    return settings;
}

}  // namespace

DeliveryQueue::DeliveryQueue(Settings settings) : settings_(WithDefaults(std::move(settings))) { Load(); }

void DeliveryQueue::Add(const CardPhoto& photo, bool fresh) {
    K5_ASSERT_THREAD(bound_);
    Item& item = photos_[photo.relative];
    item.photo = photo;
    item.fresh = fresh || loadedFresh_.erase(photo.relative) != 0 || item.fresh;
    if (item.fresh) item.order = ++arrivals_;
    auto aside = loadedAside_.find(photo.relative);
    if (aside != loadedAside_.end()) {
        item.asideWait = aside->second.first;
        item.asideUntil = aside->second.second;
        loadedAside_.erase(aside);
    }
}

void DeliveryQueue::Remove(const std::string& relative) {
    K5_ASSERT_THREAD(bound_);
    photos_.erase(relative);
}

void DeliveryQueue::Rename(const std::string& relative, const CardPhoto& moved) {
    K5_ASSERT_THREAD(bound_);
    auto found = photos_.find(relative);
    if (found == photos_.end()) return;
    Item item = found->second;
    photos_.erase(found);
    item.photo = moved;
    item.held = false;
    item.fresh = true;
    item.order = 0;  // before every other fresh photo: it was on its way already
    photos_[moved.relative] = item;
}

void DeliveryQueue::MarkClaimed(const std::string& relative) {
    K5_ASSERT_THREAD(bound_);
    auto found = photos_.find(relative);
    if (found != photos_.end()) found->second.photo.claimed = true;
}

bool DeliveryQueue::PastDeadline() const {
    const int64_t deadline = deadline_.load();
    return deadline != 0 && settings_.clock() >= deadline;
}

bool DeliveryQueue::Holding() const {
    return std::any_of(photos_.begin(), photos_.end(), [](const auto& entry) { return entry.second.held; });
}

bool DeliveryQueue::Eligible(const Item& item, int64_t now) const {
    return !item.held && item.asideUntil <= now;
}

std::optional<CardPhoto> DeliveryQueue::Next() {
    K5_ASSERT_THREAD(bound_);
    const int64_t now = settings_.clock();
    if (PastDeadline() || (down_ && now < downUntil_)) {
        Arm(now);
        return std::nullopt;
    }
    const Item* best = nullptr;
    for (const auto& entry : photos_) {
        const Item& item = entry.second;
        if (!Eligible(item, now)) continue;
        if (best == nullptr || (item.fresh && !best->fresh) ||
            (item.fresh == best->fresh &&
             (item.fresh ? item.order < best->order : item.photo < best->photo))) {
            best = &item;
        }
    }
    if (best == nullptr) {
        Arm(now);
        return std::nullopt;
    }
    return best->photo;
}

void DeliveryQueue::Arm(int64_t now) {
    if (PastDeadline() || photos_.empty()) {
        settings_.arm(-1);
        return;
    }
    // The first moment a photo may go: its own wait and the server's, whichever ends later.
    int64_t due = INT64_MAX;
    for (const auto& entry : photos_) {
        if (entry.second.held) continue;
        const int64_t at = std::max(entry.second.asideUntil, down_ ? downUntil_ : 0);
        due = std::min(due, at);
    }
    settings_.arm(due == INT64_MAX ? -1 : std::max<int64_t>(0, due - now));
}

void DeliveryQueue::ServerBack(int64_t now) {
    if (!down_) return;
    down_ = false;
    deliveredSinceBack_ = 0;
    LOG_INFO << "The photo server answers again after " << (now - downSince_) / 1000 << " s; " << photos_.size()
             << " photos are waiting for delivery.";
}

void DeliveryQueue::Settle(const CardPhoto& photo, DeliveryOutcome outcome, const std::string& reason) {
    K5_ASSERT_THREAD(bound_);
    const int64_t now = settings_.clock();
    auto found = photos_.find(photo.relative);
    if (outcome == DeliveryOutcome::ServerDown || outcome == DeliveryOutcome::Refused) lastError_ = reason;
    if (outcome == DeliveryOutcome::ServerDown) server_ = "down";
    if (outcome == DeliveryOutcome::Delivered || outcome == DeliveryOutcome::NameTaken ||
        outcome == DeliveryOutcome::Refused) {
        server_ = "up";
        if (outcome != DeliveryOutcome::Refused) lastError_.clear();
    }
    switch (outcome) {
    case DeliveryOutcome::Delivered:
        ServerBack(now);
        ++deliveredSinceBack_;
        photos_.erase(photo.relative);
        break;
    case DeliveryOutcome::Gone:
        photos_.erase(photo.relative);
        break;
    case DeliveryOutcome::NameTaken:
        ServerBack(now);
        if (found != photos_.end()) found->second.held = true;
        break;
    case DeliveryOutcome::Refused:
        ServerBack(now);
        if (found != photos_.end()) {
            Item& item = found->second;
            item.asideWait = item.asideWait == 0 ? settings_.firstRetry.count()
                                                 : std::min<int64_t>(item.asideWait * 2, settings_.maxRetry.count());
            item.asideUntil = now + item.asideWait;
        }
        break;
    case DeliveryOutcome::ServerDown:
        if (!down_) {
            down_ = true;
            downSince_ = now;
            downWait_ = settings_.firstRetry.count();
        } else {
            downWait_ = std::min<int64_t>(downWait_ * 2, settings_.maxRetry.count());
        }
        downUntil_ = now + downWait_;
        if (lastWarn_ == 0 || now - lastWarn_ >= kWarnEveryMs || now < lastWarn_) {
            lastWarn_ = now;
            LOG_WARN << "The photo server cannot be reached (" << reason << "); " << photos_.size()
                     << " photos wait on the card and it is asked again in " << downWait_ / 1000
                     << " s, then less and less often (at most every " << settings_.maxRetry.count() / 1000 << " s).";
        } else {
            LOG_DEBUG << "The photo server still cannot be reached (" << reason << "); asked again in "
                      << downWait_ / 1000 << " s.";
        }
        break;
    case DeliveryOutcome::Aborted:
        break;
    }
}

DeliveryFigures DeliveryQueue::Figures() const {
    DeliveryFigures figures;
    figures.waiting = static_cast<int64_t>(photos_.size());
    for (const auto& entry : photos_) {
        const CardPhoto& photo = entry.second.photo;
        if (figures.oldestWaiting == 0 || photo.seconds < figures.oldestWaiting) figures.oldestWaiting = photo.seconds;
        if (entry.second.asideWait != 0) ++figures.setAside;
    }
    figures.server = down_ ? "down" : server_;
    figures.serverError = lastError_;
    return figures;
}

void DeliveryQueue::Save() const {
    K5_ASSERT_THREAD(bound_);
    if (settings_.stateFile.empty()) return;
    std::ostringstream out;
    out << kStateHeader << "\n";
    if (down_) out << "down " << downSince_ << " " << downWait_ << " " << downUntil_ << " " << lastWarn_ << "\n";
    for (const auto& entry : photos_) {
        const Item& item = entry.second;
        if (item.asideWait != 0) out << "aside " << item.asideWait << " " << item.asideUntil << " " << entry.first << "\n";
        if (item.fresh) out << "fresh " << entry.first << "\n";
    }
    const std::string folder = settings_.stateFile.substr(0, settings_.stateFile.rfind('/'));
    if (!folder.empty()) ::mkdir(folder.c_str(), 0700);  // without systemd's RuntimeDirectory=
    const std::string temporary = settings_.stateFile + ".new";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    const std::string text = out.str();
    if (!fd.valid() || ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::fsync(fd.get()) != 0) {
        LOG_WARN << "Cannot keep the photo delivery's waits in " << settings_.stateFile
                 << "; the next run starts them afresh.";
        fd.reset();
        ::unlink(temporary.c_str());
        return;
    }
    fd.reset();
    if (::rename(temporary.c_str(), settings_.stateFile.c_str()) != 0) ::unlink(temporary.c_str());
}

void DeliveryQueue::Load() {
    if (settings_.stateFile.empty()) return;
    std::ifstream in(settings_.stateFile);
    std::string line;
    if (!std::getline(in, line) || line != kStateHeader) return;
    const int64_t now = settings_.clock();
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "down") {
            int64_t since = 0, wait = 0, until = 0, warned = 0;
            if (!(fields >> since >> wait >> until >> warned) || since > now || wait <= 0) continue;
            down_ = true;
            downSince_ = since;
            downWait_ = std::min<int64_t>(wait, settings_.maxRetry.count());
            downUntil_ = std::min(until, now + downWait_);
            lastWarn_ = warned;
        } else if (kind == "aside") {
            int64_t wait = 0, until = 0;
            std::string relative;
            if (!(fields >> wait >> until >> relative) || wait <= 0) continue;
            wait = std::min<int64_t>(wait, settings_.maxRetry.count());
            loadedAside_[relative] = {wait, std::min(until, now + wait)};
        } else if (kind == "fresh") {
            std::string relative;
            if (fields >> relative) loadedFresh_.insert(relative);
        }
    }
}
