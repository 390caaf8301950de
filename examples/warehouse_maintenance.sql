-- ============================================================
-- Warehouse maintenance procedures
-- ============================================================
SET ANSI_NULLS ON;
SET QUOTED_IDENTIFIER ON;
GO

-- ---------------------------------------------------------------
-- Section 1: Orders
CREATE OR ALTER PROCEDURE dbo.usp_RefreshOrders
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#OrdersDelta') IS NOT NULL DROP TABLE #OrdersDelta;
    CREATE TABLE #OrdersDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #OrdersDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Orders AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 7 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #OrdersDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Orders AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 2: Customers
CREATE OR ALTER PROCEDURE dbo.usp_RefreshCustomers
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#CustomersDelta') IS NOT NULL DROP TABLE #CustomersDelta;
    CREATE TABLE #CustomersDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #CustomersDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Customers AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #CustomersDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Customers AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 3: Invoices
CREATE OR ALTER PROCEDURE dbo.usp_RefreshInvoices
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#InvoicesDelta') IS NOT NULL DROP TABLE #InvoicesDelta;
    CREATE TABLE #InvoicesDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #InvoicesDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Invoices AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #InvoicesDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Invoices AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 4: Payments
CREATE OR ALTER PROCEDURE dbo.usp_RefreshPayments
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#PaymentsDelta') IS NOT NULL DROP TABLE #PaymentsDelta;
    CREATE TABLE #PaymentsDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #PaymentsDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Payments AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #PaymentsDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Payments AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 5: Shipments
CREATE OR ALTER PROCEDURE dbo.usp_RefreshShipments
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#ShipmentsDelta') IS NOT NULL DROP TABLE #ShipmentsDelta;
    CREATE TABLE #ShipmentsDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #ShipmentsDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Shipments AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #ShipmentsDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Shipments AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 6: Products
CREATE OR ALTER PROCEDURE dbo.usp_RefreshProducts
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#ProductsDelta') IS NOT NULL DROP TABLE #ProductsDelta;
    CREATE TABLE #ProductsDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #ProductsDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Products AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ProductsDelta AS d
    LEFT JOIN dbo.Products AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ProductsDelta AS d
    LEFT JOIN dbo.Products AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ProductsDelta AS d
    LEFT JOIN dbo.Products AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ProductsDelta AS d
    LEFT JOIN dbo.Products AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #ProductsDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Products AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 7: Returns
CREATE OR ALTER PROCEDURE dbo.usp_RefreshReturns
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#ReturnsDelta') IS NOT NULL DROP TABLE #ReturnsDelta;
    CREATE TABLE #ReturnsDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #ReturnsDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Returns AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #ReturnsDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Returns AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 8: Suppliers
CREATE OR ALTER PROCEDURE dbo.usp_RefreshSuppliers
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#SuppliersDelta') IS NOT NULL DROP TABLE #SuppliersDelta;
    CREATE TABLE #SuppliersDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #SuppliersDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Suppliers AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #SuppliersDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Suppliers AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 9: Orders_Archive
CREATE OR ALTER PROCEDURE dbo.usp_RefreshOrders_Archive
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#OrdersDelta') IS NOT NULL DROP TABLE #OrdersDelta;
    CREATE TABLE #OrdersDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #OrdersDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Orders AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #OrdersDelta AS d
    LEFT JOIN dbo.Orders AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #OrdersDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Orders AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 10: Customers_Archive
CREATE OR ALTER PROCEDURE dbo.usp_RefreshCustomers_Archive
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#CustomersDelta') IS NOT NULL DROP TABLE #CustomersDelta;
    CREATE TABLE #CustomersDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #CustomersDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Customers AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #CustomersDelta AS d
    LEFT JOIN dbo.Customers AS s ON s.Id = d.Id
    WHERE d.Id % 7 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #CustomersDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Customers AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 11: Invoices_Archive
CREATE OR ALTER PROCEDURE dbo.usp_RefreshInvoices_Archive
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#InvoicesDelta') IS NOT NULL DROP TABLE #InvoicesDelta;
    CREATE TABLE #InvoicesDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #InvoicesDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Invoices AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 7 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 8 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #InvoicesDelta AS d
    LEFT JOIN dbo.Invoices AS s ON s.Id = d.Id
    WHERE d.Id % 9 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #InvoicesDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Invoices AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 12: Payments_Archive
CREATE OR ALTER PROCEDURE dbo.usp_RefreshPayments_Archive
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#PaymentsDelta') IS NOT NULL DROP TABLE #PaymentsDelta;
    CREATE TABLE #PaymentsDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #PaymentsDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Payments AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 7 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #PaymentsDelta AS d
    LEFT JOIN dbo.Payments AS s ON s.Id = d.Id
    WHERE d.Id % 8 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #PaymentsDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Payments AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 13: Shipments_Archive
CREATE OR ALTER PROCEDURE dbo.usp_RefreshShipments_Archive
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#ShipmentsDelta') IS NOT NULL DROP TABLE #ShipmentsDelta;
    CREATE TABLE #ShipmentsDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #ShipmentsDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Shipments AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 7 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 8 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ShipmentsDelta AS d
    LEFT JOIN dbo.Shipments AS s ON s.Id = d.Id
    WHERE d.Id % 9 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #ShipmentsDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Shipments AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 14: Products_Archive
CREATE OR ALTER PROCEDURE dbo.usp_RefreshProducts_Archive
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#ProductsDelta') IS NOT NULL DROP TABLE #ProductsDelta;
    CREATE TABLE #ProductsDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #ProductsDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Products AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ProductsDelta AS d
    LEFT JOIN dbo.Products AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ProductsDelta AS d
    LEFT JOIN dbo.Products AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ProductsDelta AS d
    LEFT JOIN dbo.Products AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ProductsDelta AS d
    LEFT JOIN dbo.Products AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #ProductsDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Products AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 15: Returns_Archive
CREATE OR ALTER PROCEDURE dbo.usp_RefreshReturns_Archive
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#ReturnsDelta') IS NOT NULL DROP TABLE #ReturnsDelta;
    CREATE TABLE #ReturnsDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #ReturnsDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Returns AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    UPDATE d SET d.Amount = COALESCE(d.Amount, s.Amount)
    FROM #ReturnsDelta AS d
    LEFT JOIN dbo.Returns AS s ON s.Id = d.Id
    WHERE d.Id % 7 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #ReturnsDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Returns AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO

-- ---------------------------------------------------------------
-- Section 16: Suppliers_Archive
CREATE OR ALTER PROCEDURE dbo.usp_RefreshSuppliers_Archive
    @FromDate DATE,
    @ToDate   DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF OBJECT_ID('tempdb..#SuppliersDelta') IS NOT NULL DROP TABLE #SuppliersDelta;
    CREATE TABLE #SuppliersDelta (Id INT NOT NULL, Amount DECIMAL(18, 2), ChangedAt DATETIME2);

    INSERT INTO #SuppliersDelta (Id, Amount, ChangedAt)
    SELECT s.Id, s.Amount, s.ChangedAt
    FROM staging.Suppliers AS s
    WHERE s.ChangedAt >= @FromDate AND s.ChangedAt < DATEADD(DAY, 1, @ToDate);

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 2 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 3 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 4 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 5 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 6 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 7 = 0;

    UPDATE d SET d.Id = COALESCE(d.Id, s.Id)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 8 = 0;

    UPDATE d SET d.ChangedAt = COALESCE(d.ChangedAt, s.ChangedAt)
    FROM #SuppliersDelta AS d
    LEFT JOIN dbo.Suppliers AS s ON s.Id = d.Id
    WHERE d.Id % 9 = 0;

    WITH Latest AS (
        SELECT Id, Amount, ROW_NUMBER() OVER (PARTITION BY Id ORDER BY ChangedAt DESC) AS rn
        FROM #SuppliersDelta
    )
    UPDATE t SET t.Amount = l.Amount
    FROM dbo.Suppliers AS t
    INNER JOIN Latest AS l ON l.Id = t.Id AND l.rn = 1;

    SELECT @@ROWCOUNT AS RowsUpdated;
END
GO
