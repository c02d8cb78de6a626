#pragma once

// Registers the RPC value types and lets QVariant compare them by value, so that
// decoded arguments can be checked with QCOMPARE on QVariants.
void registerRpcComparators();
