#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <utility>

#include "App/WorkService.hpp"

namespace osterveil {

// Runs `work` on a lane of the work service and hands its result to `deliver(owner, result)` on the GUI
// thread, unless the owner has gone by then. The worker never touches the owner, so a window may close
// while work is in flight; what it left queued is dropped when it goes (`WorkService::cancel` with the
// owner). `work` must not throw: an exception has nowhere to go on a worker.
template <class Owner, class Work, class Deliver>
void offload(WorkService::Lane lane, Owner* owner, Work work, Deliver deliver) {
    QPointer<Owner> self(owner);
    WorkService::shared().run(lane, owner, [self, work = std::move(work), deliver = std::move(deliver)]() mutable {
        auto result = work();
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) return;
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
