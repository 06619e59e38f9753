// The browse file list: one 100 x 90 thumbnail per image file of the
// document's folder, drawn by loader threads (as many as the Threads setting
// asks for), the ones in sight first.
#pragma once

#include <QHash>
#include <QIcon>
#include <QImage>
#include <QListWidget>
#include <QSet>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

class CTessalineDoc;
class ThumbnailQueue;

class CTessalineView : public QListWidget {
    Q_OBJECT
public:
    explicit CTessalineView(CTessalineDoc* doc, QWidget* parent = nullptr);
    ~CTessalineView() override;

    void StartThumbnailLoader();
    // The document's names again: tiles of files not in redraw are kept,
    // the rest drawn anew; selection and the current item stay where their
    // files still are.
    void ReloadThumbnails(const QSet<QString>& redraw);
    // Ends the loader at once: its threads finish the file in hand in the
    // background and what they deliver is dropped.
    void StopThumbnailLoader();
    bool IsLoaderRunning() const { return loaderRunning_; }
    // The first and last item in sight, (-1, -1) before the items are laid out.
    std::pair<int, int> VisibleRange() const;
    // Count of thumbnails drawn by the current or last loader.
    int ThumbnailsDrawn() const { return drawn_; }

    // The full paths of the selected items, in item order.
    QStringList SelectedPaths() const;
    // Receives the paths of command 6000, "Add to Batch Process List".
    std::function<void(const QStringList&)> addToBatchList;
    // The Threads setting (0: one per core) for the loader; unset means 0.
    std::function<int()> loaderThreads;
    static QImage PlaceholderTile();
    static QString EmptyFolderText();

signals:
    void loaderFinished();

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    QMimeData* mimeData(const QList<QListWidgetItem*>& items) const override;

private:
    // One loader thread: draws tiles until the queue has none left.
    void LoaderThread(std::shared_ptr<ThumbnailQueue> queue, int generation, QString folder,
                      QStringList names, std::vector<char> done);
    // Fills the list with the document's names, tiles from kept where given.
    void StartLoader(const QHash<QString, QIcon>& kept);
    // On the GUI thread: a tile of the given loader arrives.
    void ShowTile(int generation, int index, const QImage& tile);
    void LoaderThreadEnded(int generation, std::thread::id id);
    // Tells the queue which items are in sight.
    void UpdateVisibleRange();

    CTessalineDoc* doc_;
    std::shared_ptr<ThumbnailQueue> queue_;
    // Of the current and of stopped loaders, each joined once it has ended.
    std::vector<std::thread> loaderThreads_;
    // Changed on the GUI thread only; tiles of an earlier loader are dropped.
    int generation_ = 0;
    int threadsRunning_ = 0;
    std::atomic<bool> loaderRunning_{false};
    std::atomic<int> drawn_{0};
};
