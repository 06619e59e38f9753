// The browse file list: one 100 x 90 thumbnail per image file of the
// document's folder, drawn by a background loader thread.
#pragma once

#include <QImage>
#include <QListWidget>

#include <atomic>
#include <functional>
#include <thread>

class CTessalineDoc;

class CTessalineView : public QListWidget {
    Q_OBJECT
public:
    explicit CTessalineView(CTessalineDoc* doc, QWidget* parent = nullptr);
    ~CTessalineView() override;

    void StartThumbnailLoader();
    // Asks the loader to end and waits for it, keeping events flowing (the
    // loader's calls into the view are answered by this thread).
    void StopThumbnailLoader();
    bool IsLoaderRunning() const { return loaderRunning_; }
    // Count of thumbnails drawn by the current or last loader.
    int ThumbnailsDrawn() const { return drawn_; }

    // The full paths of the selected items, in item order.
    QStringList SelectedPaths() const;
    // Receives the paths of command 6000, "Add to Batch Process List".
    std::function<void(const QStringList&)> addToBatchList;
    static QImage PlaceholderTile();

signals:
    void loaderFinished();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    QMimeData* mimeData(const QList<QListWidgetItem*>& items) const override;

private:
    void LoaderThread(QString folder, QStringList names);
    // Runs fn on the GUI thread and waits for it.
    void Call(const std::function<void()>& fn);

    CTessalineDoc* doc_;
    std::thread loaderThread_;
    std::atomic<bool> loaderRunning_{false};
    std::atomic<bool> stopLoader_{false};
    std::atomic<int> drawn_{0};
};
