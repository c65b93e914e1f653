// CommandNode: a <Command>. Execute writes <CommandValue> / <pCommandValue> (default 1) to
// its <pValue> node (or literal <Value>); IsDone reads that node past the cache and answers
// true once it no longer holds the command value (always true when it cannot be read).
#pragma once
#include "GenApi/Node.h"

namespace QxGenApi::detail {

class CommandNode : public Node, public ICommand {
public:
    using Node::Node;
    void configure(const NodeDesc& desc) override;
    void link() override;
    EInterfaceType GetPrincipalInterfaceType() const override { return intfICommand; }

    void Execute(bool verify = true) override;
    bool IsDone(bool verify = true) override;
    // "1" while the command runs, "0" when done; FromString("1"/"Execute") executes.
    gcstring ToString(bool verify = false, bool ignoreCache = false) override;
    void FromString(const gcstring& valueString, bool verify = true) override;

protected:
    EAccessMode ownAccessMode() const override { return m_value.access(); }

private:
    NumberRef m_value;
    NumberRef m_commandValue;
};

} // namespace QxGenApi::detail
