#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <stop_token>
#include <type_traits>
#include <utility>

#include "App/WorkService.hpp"

namespace osterveil {

// Runs `work` on a lane of the work service and hands its result to `deliver(owner, result)` on the GUI
// thread, unless the owner has gone by then. The job is the owner's: `owner->workToken()` is its cancel
// token, which `work` may take as its argument to stop early, returning whatever it has (it is then not
// delivered). The worker never touches the owner, so a window may close while work is in flight; the
// owner cancels what it left when it goes. `work` must not throw: an exception has nowhere to go on a
// worker.
template <class Owner, class Work, class Deliver>
void offload(WorkService::Lane lane, Owner* owner, Work work, Deliver deliver) {
    QPointer<Owner> self(owner);
    WorkService::shared().run(
        lane, owner->workToken(),
        [self, work = std::move(work), deliver = std::move(deliver)](const std::stop_token& stop) mutable {
            auto result = [&] {
                if constexpr (std::is_invocable_v<Work&, const std::stop_token&>)
                    return work(stop);
                else
                    return work();
            }();
            QCoreApplication* app = QCoreApplication::instance();
            if (!app || stop.stop_requested()) return;
            QMetaObject::invokeMethod(
                app,
                [self, deliver = std::move(deliver), result = std::move(result)]() mutable {
                    if (self) deliver(*self, std::move(result));
                },
                Qt::QueuedConnection);
        });
}

// Pictures of media, probing and parsing files: the low-priority lane.
template <class Owner, class Work, class Deliver> void offload(Owner* owner, Work work, Deliver deliver) {
    offload(WorkService::Lane::pictures, owner, std::move(work), std::move(deliver));
}

} // namespace osterveil
