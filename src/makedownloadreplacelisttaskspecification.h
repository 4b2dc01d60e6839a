#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "updatelists.h"

#include <memory>

class Configuration;

// Builds the three update lists from the verified product list on the thread pool and copies
// them into the pipeline's lists only when the whole list was read.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    MakeDownloadReplaceListTaskSpecification(Configuration* config, UpdateLists* lists,
                                             QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
    void runFinished(bool ok) override;

    Configuration* m_Config;
    UpdateLists* m_PipelineLists;
    // Filled by the work object; shared with it so that it never writes into freed memory.
    std::shared_ptr<UpdateLists> m_Lists;
};

#endif // MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
