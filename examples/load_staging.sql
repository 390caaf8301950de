/*
   Staging load for the nightly warehouse refresh.
   Uses a temporary table, a CTE and a window function.
*/
CREATE PROCEDURE dbo.usp_LoadStaging
    @RunDate DATE
AS
BEGIN
    SET NOCOUNT ON;

    IF EXISTS (SELECT 1 FROM tempdb.sys.objects WHERE name LIKE '#Staging%')
        DROP TABLE #Staging;

    CREATE TABLE #Staging (
        OrderID     INT           NOT NULL,
        CustomerID  INT           NOT NULL,
        Amount      DECIMAL(18,2) NULL,
        LoadedAt    DATETIME2     NOT NULL DEFAULT SYSUTCDATETIME()
    );

    WITH RankedOrders AS (
        SELECT o.OrderID,
               o.CustomerID,
               o.Amount,
               ROW_NUMBER() OVER (PARTITION BY o.CustomerID ORDER BY o.OrderDate DESC) AS rn
        FROM dbo.Orders AS o
        WHERE o.OrderDate = @RunDate
    )
    INSERT INTO #Staging (OrderID, CustomerID, Amount)
    SELECT OrderID, CustomerID, ISNULL(Amount, 0)
    FROM RankedOrders
    WHERE rn = 1;

    SELECT CASE WHEN COUNT(*) > 0 THEN 'loaded' ELSE 'empty' END AS Status
    FROM #Staging;
END
GO
