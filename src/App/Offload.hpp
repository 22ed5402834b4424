#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>
#include <utility>

namespace osterveil {

// Runs `work` on a worker and hands its result to `deliver(owner, result)` on the GUI thread, unless the
// owner has gone by then. The worker never touches the owner, so a window may close while work is in
// flight. `work` must not throw: an exception has nowhere to go on a pool thread.
template <class Owner, class Work, class Deliver> void offload(Owner* owner, Work work, Deliver deliver) {
    QPointer<Owner> self(owner);
    QThreadPool::globalInstance()->start(
        [self, work = std::move(work), deliver = std::move(deliver)]() mutable {
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

} // namespace osterveil
