#pragma once

#include <QAbstractButton>
#include <QStringList>
#include <QWidget>

namespace osterveil {

// The strip of text tabs heading the program monitor, the source group and the project bin. The bar
// keeps no selection of its own: the owner stores the active position and passes it back in, and a
// click only reports the position clicked (the active tab's too). An active position outside the
// list highlights nothing.
class PanelTabBar : public QWidget {
    Q_OBJECT
  public:
    explicit PanelTabBar(const QStringList& tabs = {}, int active = 0, QWidget* parent = nullptr);

    void setTabs(const QStringList& tabs);
    const QStringList& tabs() const { return tabs_; }
    void setActive(int position);
    int active() const { return active_; }

  signals:
    // The position of the tab the user clicked.
    void tabSelected(int position);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void rebuild();

    QStringList tabs_;
    int active_ = 0;
};

// One tab: its title upper-cased in small semibold letters, on a raised background when active.
class PanelTab : public QAbstractButton {
    Q_OBJECT
  public:
    PanelTab(const QString& title, QWidget* parent);

    void setHighlighted(bool on);
    bool isHighlighted() const { return highlighted_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool highlighted_ = false;
};

} // namespace osterveil
