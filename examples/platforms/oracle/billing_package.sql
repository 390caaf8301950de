-- billing package: example oracle script
UPDATE accounts
SET status = 'closed'
WHERE last_activity < '2020-01-01' AND balance = 0;

SELECT region,
       CASE WHEN revenue > 100000 THEN 'large' WHEN revenue > 10000 THEN 'medium' ELSE 'small' END AS band
FROM region_sales;

SELECT d.dept_name, AVG(e.salary) AS avg_salary
FROM employees e INNER JOIN departments d ON d.dept_id = e.dept_id
GROUP BY d.dept_name;

CREATE OR REPLACE PACKAGE BODY billing AS
  PROCEDURE run IS
  BEGIN
    NULL;
  END run;
END billing;
/

DECLARE
  v_name VARCHAR2(100);
BEGIN
  SELECT name INTO v_name FROM customers WHERE id = 1;
  DBMS_OUTPUT.PUT_LINE(v_name);
END;
/

SELECT e.name, d.name FROM emp e, dept d WHERE e.dept_id = d.id(+);

SET SERVEROUTPUT ON

CREATE TABLE invoices (id NUMBER(10), note VARCHAR2(400), amount NUMBER(12,2));

BEGIN
  IF :NEW.amount < 0 THEN
    RAISE_APPLICATION_ERROR(-20001, 'negative amount');
  END IF;
END;

SELECT * FROM orders AS OF TIMESTAMP (SYSTIMESTAMP - INTERVAL '1' HOUR);

WHENEVER SQLERROR EXIT FAILURE

