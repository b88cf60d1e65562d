#include <gtest/gtest.h>

#include "test_support.h"

TEST(FatalError, HandlerReceivesTheFormattedMessage)
{
    EXPECT_EQ(fatal_message_of([] { fatal_error("No encuentro el fichero \"%s\"", "datos/x.pcx"); }),
              "No encuentro el fichero \"datos/x.pcx\"");
    EXPECT_EQ(fatal_message_of([] {}), "");
}
